#!/usr/bin/env python3
"""scripts/demo shore: boat_shore on SQLite selling time and answering two
simulated boats that check in every CHECKIN_INTERVAL=20 s: boat 1 runs
boat_checkin, boat 2 boat_tracker (with its private MariaDB server, gpsd
and the emulated NFC reader). A sale and a tap, the boat running on the
time left at its periodic check-in, a stranger's tap that does not stop it,
the same card refused on the second boat, the paid end, a kill from shore
reaching the second boat; then a timeline of both boards' outputs beside
the terminals' messages and the shore's answers.

    demo_shore.py ROOT BUILD
Run by scripts/demo, which builds first; leaves nothing running.
"""
import json
import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time

from demo_peers import Peers, port_open, ports_free

root, build = sys.argv[1], sys.argv[2]
INTERVAL = 20
CUSTOMER, STRANGER, SECOND = "0a1bc203", "5e6f7081", "c0ffee01"
PORTS = {"database": 3306, "gpsd": 2947, "shore server": 18080}
TRIP = os.path.join(root, "sim", "data", "marina-trip.nmea")

peers = Peers(root, "boatdemo-shore.")
work, wait_for, start = peers.work, peers.wait_for, peers.start
boatsim = os.path.join(build, "sim", "boatsim")
shore_bin = os.path.join(build, "shore", "boat_shore")
conf = os.path.join(work, "shore.conf")
book = os.path.join(work, "shore.db")
t0 = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
rows = []  # (monotonic ns, boat, board output, message)
rows_lock = threading.Lock()


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def say(text):
    print(f"{(now_ns() - t0) / 1e9:6.1f} s  {text}", flush=True)


def shore(*args):
    r = subprocess.run([shore_bin, "--config", conf, *args], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"demo: boat_shore {' '.join(args)} failed:\n{r.stderr}")
    return r.stdout.strip()


def staff(*args):
    out = shore(*args)
    say(f"$ boat_shore {' '.join(args)}" + (f"\n{'':10}{out}" if out else ""))
    with rows_lock:
        rows.append((now_ns(), "shore", "", f"$ boat_shore {' '.join(args)}" + (f": {out}" if out else "")))
    return out


class Boat:
    """One simulated board and its terminal, in a folder of its own."""

    def __init__(self, number, tracker):
        self.number, self.tracker = number, tracker
        self.dir = os.path.join(work, f"boat{number}")
        os.makedirs(os.path.join(self.dir, "credentials"))
        with open(os.path.join(self.dir, "boatid.txt"), "w") as f:
            f.write(f"{number}\n")
        # The settings file as systemd hands it over (LoadCredential=).
        path = os.path.join(self.dir, "credentials", "terminal.conf")
        with open(path, "w") as f:
            f.write(f"CHECKIN_INTERVAL={INTERVAL}\n")
        os.chmod(path, 0o600)
        self.env = dict(os.environ, BOATSIM_STATE=os.path.join(self.dir, "board.state"),
                        CREDENTIALS_DIRECTORY=os.path.join(self.dir, "credentials"))
        self.sim("new", "--profile", "tracker" if tracker else "checkin")
        self.proc = None

    def sim(self, *args):
        return subprocess.run([boatsim, *args], env=self.env, check=True, capture_output=True, text=True).stdout

    def start(self, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        program = os.path.join(build, "tracker", "boat_tracker") if self.tracker else os.path.join(build, "checkin", "boat_checkin")
        self.proc = start([program], f"boat{self.number}", cwd=self.dir, env=env, stderr=subprocess.PIPE,
                          stdout=open(os.path.join(self.dir, "stdout.log"), "w"))
        self.started = threading.Event()
        threading.Thread(target=self.read, daemon=True).start()
        if not self.started.wait(60) or self.proc.poll() is not None:
            sys.exit(f"demo: boat {self.number}'s terminal did not start (logs in {work})")

    # The tracker's pass messages (fuel, blink, positions) would bury the
    # check-ins, and the board's outputs show what the output messages say.
    QUIET = ("Start Loop", "Check Fuel", "Fuel Value", "End Read Loop", "INSERT INTO", "Do CURL", "CURL OK",
             "Current Time Stamp", "Expire Time Stamp", "Boat Started", "Boat Stopped", "Kill Switch")
    LED = ("Blue LED ON", "Green LED ON", "Red LED ON", "All LED OFF")

    def read(self):
        pending = ""
        while True:
            chunk = os.read(self.proc.stderr.fileno(), 4096)
            if not chunk:
                return
            t = now_ns()
            pending += chunk.decode(errors="replace").replace("\r\n", "\n")
            if ("Start Loop" if self.tracker else "All LED OFF") in pending:
                self.started.set()
            # boat_checkin's LED messages end no line.
            for led in self.LED:
                pending = pending.replace(led, "")
            *lines, pending = pending.split("\n")
            for line in lines:
                line = line.strip()
                if not line or line.startswith(self.QUIET):
                    continue
                with rows_lock:
                    rows.append((t, f"boat {self.number}", "", line))

    def put(self, card):
        self.sim("card", "put", card)

    def take(self, card):
        self.sim("card", "take", card)

    def tap(self, card, seconds=1.5):
        self.put(card)
        time.sleep(seconds)
        self.take(card)

    def board(self):
        return json.loads(self.sim("show", "--json"))

    def events(self):
        return json.loads(self.sim("events", "--json"))["events"]

    def outputs(self):
        """Board events as LED colours and relay states; the idle blink
        (blue, then off within a second) once for each stretch of it."""
        if self.tracker:
            names = {15: ("run relay", {0: "RUNNING", 1: "stopped"}), 4: ("kill relay", {1: "ACTIVE", 0: "off"})}
        else:
            names = {23: ("run relay", {1: "RUNNING", 0: "stopped"}), 14: ("kill relay", {1: "ACTIVE", 0: "off"})}
        level = {17: 1, 22: 1, 27: 1}
        relays, leds = [], []
        shown = {}
        events = self.events()
        for i, e in enumerate(events):
            pin, lv = e["pin"], e["level"]
            if pin in level:
                level[pin] = lv
                nxt = events[i + 1]["pin"] if i + 1 < len(events) else None
                if pin != 27 and nxt in level:
                    continue  # the whole LED write first
                lit = [c for c, p in (("green", 17), ("blue", 22), ("red", 27)) if level[p] == 0]
                colour = lit[0] if len(lit) == 1 else ("off" if not lit else "mixed")
                if not leds or leds[-1][1] != colour:
                    leds.append((e["t_ns"], colour))
            elif pin in names:
                text = f"{names[pin][0]} {names[pin][1][lv]}"
                if shown.get(pin) != text:
                    shown[pin] = text
                    relays.append((e["t_ns"], text))
        out = []
        blinking = False
        for i, (t, colour) in enumerate(leds):
            nxt = leds[i + 1] if i + 1 < len(leds) else None
            blink_blue = colour == "blue" and (nxt is None or (nxt[1] == "off" and nxt[0] - t < 1e9))
            if blink_blue or (colour == "off" and blinking):
                if not blinking:
                    out.append((t, "LED blinks blue (idle)"))
                blinking = True
                continue
            blinking = False
            out.append((t, f"LED {colour}"))
        return out + relays


def watch_checkins(stop):
    """The shore's check-in log, each row stamped when it appeared."""
    seen = 0
    while not stop.is_set():
        try:
            db = sqlite3.connect(f"file:{book}?mode=ro", uri=True, timeout=1)
            for cid, boat, card, kind, answer in db.execute(
                    "SELECT id, boat, card, kind, answer FROM checkins WHERE id > ? ORDER BY id", (seen,)):
                seen = cid
                with rows_lock:
                    rows.append((now_ns(), "shore", "", f"boat {boat} {kind} check-in of {card or '(no card)'}: {answer}"))
            db.close()
        except sqlite3.Error:
            pass
        stop.wait(0.1)


def main():
    global t0
    ports_free(PORTS)
    os.chmod(work, 0o755)

    say("starting the tracker's peers: a private MariaDB server, gpsd, the emulated NFC reader")
    peers.start_db()
    peers.start_gpsd(TRIP, "0.25")

    with open(conf, "w") as f:
        f.write(f"DATABASE=sqlite:{book}\nLISTEN=127.0.0.1:18080\n")
    say(f"boat_shore on SQLite ({os.path.relpath(book, work)}), serving the boats on 127.0.0.1:18080")
    shore("boat", "add", "--boat", "1", "--name", "Heron", "--kind", "checkin")
    shore("boat", "add", "--boat", "2", "--name", "Tern", "--kind", "tracker")
    start([shore_bin, "--config", conf, "serve"], "shore")
    wait_for(lambda: port_open(18080), 20, "boat_shore's start")

    boat1, boat2 = Boat(1, False), Boat(2, True)
    connstring = peers.start_nfc(boatsim, boat2.env)
    boat1.start()
    boat2.start({"LIBNFC_DEFAULT_DEVICE": connstring})
    say(f"boat 1 (boat_checkin) and boat 2 (boat_tracker) run with CHECKIN_INTERVAL={INTERVAL}")

    stop = threading.Event()
    threading.Thread(target=watch_checkins, args=(stop,), daemon=True).start()
    t0 = now_ns()
    print("demo: the story, its times from here on", flush=True)
    time.sleep(1)

    staff("sell", "--card", CUSTOMER, "--seconds", "30")
    say(f"card {CUSTOMER} on boat 1's reader")
    boat1.tap(CUSTOMER)
    time.sleep(3)
    say(f"a stranger's card {STRANGER} on boat 1's reader: boat 1 keeps running")
    boat1.tap(STRANGER)
    time.sleep(2)
    say(f"card {CUSTOMER} on boat 2's reader: it runs boat 1, so boat 2 stays stopped")
    boat2.tap(CUSTOMER, 0.6)
    time.sleep(2)
    staff("sell", "--card", SECOND, "--seconds", "600", "--boat", "2")
    say(f"card {SECOND} on boat 2's reader")
    boat2.tap(SECOND, 0.6)
    say("both boats run; their periodic check-ins get the time left")
    wait_for(lambda: boat1.board()["run_relay"] == "stopped", 45, "boat 1's paid end")
    say("boat 1's paid time is over: it stopped by itself")
    time.sleep(1)
    staff("kill", "--boat", "2")
    say(f"the kill reaches boat 2 at its next check-in, within {INTERVAL} s")
    wait_for(lambda: boat2.board()["kill_relay"] == "active", INTERVAL + 10,
             "the kill on boat 2")
    time.sleep(2.5)
    say("boat 2 is killed")
    staff("release", "--boat", "2")
    status = shore("status")
    stop.set()

    for boat in (boat1, boat2):
        os.killpg(boat.proc.pid, signal.SIGTERM)
        boat.proc.wait(10)
    time.sleep(0.3)
    for boat in (boat1, boat2):
        for t, text in boat.outputs():
            rows.append((t, f"boat {boat.number}", text, ""))

    print()
    print(f"{'time':>7}  {'':<7} {'board outputs':<24} terminal messages / the shore's answers and staff commands")
    print(f"{'-' * 7}  {'-' * 7} {'-' * 24} {'-' * 50}")
    last = None
    for t, who, board, msg in sorted(rows, key=lambda r: r[0]):
        # The terminals print each answer twice; once is enough here.
        if t < t0 or (who, board, msg) == last:
            continue
        last = (who, board, msg)
        print(f"{(t - t0) / 1e9:7.2f}  {who:<7} {board:<24} {msg}")
    print()
    print("$ boat_shore status")
    for line in status.splitlines():
        print("  " + line)
    print()
    print("$ boat_shore sessions --json")
    for s in json.loads(shore("sessions", "--json")):
        print("  " + json.dumps(s))
    print(f"\nwall time {(now_ns() - t0) / 1e9:.0f} s after the peers had started")


peers.run(main)
