"""What the demos share: a work folder, the processes they start (each in a
session of its own, so gpsfake's gpsd goes with it), waits with a bound,
and the tracker's peers (a private MariaDB server, gpsd replaying a recorded
trip, the emulated NFC reader). Nothing is left running, and the logs are
kept when a demo fails.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

GPSD_PORT = 2947


def port_open(port):
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


def ports_free(ports):
    """Ends the demo when one of {name: port} is taken."""
    for name, port in ports.items():
        if port_open(port):
            sys.exit(f"demo: 127.0.0.1:{port} is in use; the {name} of the demo needs it")


class Peers:
    def __init__(self, root, prefix):
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.db_template = os.path.join(self.work, "mariadb-template")
        self.db_dir = os.path.join(self.work, "mariadb")
        self.db_script = os.path.join(root, "tests", "support", "mariadb.sh")
        self.procs = []
        self.db_started = False

    def wait_for(self, pred, seconds, what):
        deadline = time.monotonic() + seconds
        while not pred():
            if time.monotonic() > deadline:
                sys.exit(f"demo: {what} did not happen within {seconds} s (logs in {self.work})")
            time.sleep(0.1)

    def start(self, argv, name, **kw):
        """A process with its output in WORK/NAME.log unless told otherwise."""
        log = open(os.path.join(self.work, name + ".log"), "w")
        p = subprocess.Popen(argv, stdout=kw.pop("stdout", log), stderr=kw.pop("stderr", log),
                             start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def start_db(self):
        """The tracker's MariaDB server with its schema, on a socket in WORK."""
        self.db_started = True
        db_log = open(os.path.join(self.work, "mariadb-start.log"), "w")
        for args in (["template", self.db_template], ["start", self.db_dir, self.db_template]):
            if subprocess.run([self.db_script, *args], stdout=subprocess.DEVNULL, stderr=db_log).returncode != 0:
                sys.exit("demo: the database server did not start:\n"
                         + open(os.path.join(self.work, "mariadb-start.log")).read()[-2000:])

    def sql(self, query):
        """The rows of a query on the tracker's database, tab-separated; empty on failure."""
        r = subprocess.run(["mariadb", "--no-defaults", f"--socket={self.db_dir}/mysqld.sock", "-uroot", "-N", "-B",
                            "GPSTracker", "-e", query], capture_output=True, text=True)
        return r.stdout.strip() if r.returncode == 0 else ""

    def start_gpsd(self, log, delay, once=False):
        """gpsd through gpsfake replaying LOG, a sentence every DELAY seconds."""
        p = self.start(["gpsfake", "-q", *(["-1"] if once else []), "-P", str(GPSD_PORT), "-c", delay, log],
                       "gpsfake")
        self.wait_for(lambda: port_open(GPSD_PORT), 20, "gpsd's start")
        return p

    def start_nfc(self, boatsim, env):
        """The emulated NFC reader on the board of ENV; its libnfc device."""
        nfc_out = os.path.join(self.work, "nfc.out")
        self.start([boatsim, "nfc"], "nfc", stdout=open(nfc_out, "w"), env=env)
        self.wait_for(lambda: "pn532_uart:" in open(nfc_out).read(), 10, "the emulated NFC reader's start")
        text = open(nfc_out).read()
        return text[text.index("pn532_uart:"):].split()[0]

    def cleanup(self, keep_logs):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)  # gpsfake's gpsd is in its group
                except ProcessLookupError:
                    pass
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
        if self.db_started:
            for d in (self.db_template, self.db_dir):
                subprocess.run([self.db_script, "stop", d], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if keep_logs:
            for d in (self.db_template, self.db_dir):
                shutil.rmtree(os.path.join(d, "data"), ignore_errors=True)
            print(f"demo: its logs are kept in {self.work}", file=sys.stderr)
            return
        shutil.rmtree(self.work, ignore_errors=True)

    def run(self, main):
        """MAIN, then nothing left running; the logs kept unless it ended well."""
        done = False
        try:
            main()
            done = True
        finally:
            self.cleanup(keep_logs=not done)
