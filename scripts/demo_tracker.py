#!/usr/bin/env python3
"""scripts/demo tracker: boat_tracker on a simulated board with its real
peers (a private MariaDB server, gpsd replaying a recorded boat trip, the
emulated NFC reader, the check-in server), a card granted as the boat
leaves the marina, then boat_track's trips, exports and pictures.

    demo_tracker.py ROOT BUILD REALTIME
Run by scripts/demo, which builds first; leaves nothing running.
"""
import json
import os
import signal
import subprocess
import sys
import time

from demo_peers import Peers, port_open, ports_free

root, build, realtime = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
LOG = os.path.join(root, "sim", "data", "marina-trip.nmea")
EPOCHS = sum(1 for line in open(LOG) if line.startswith("$GPRMC"))
SENTENCES_PER_EPOCH = 3             # GGA, RMC, VTG
SPEEDUP = 1 if realtime else 4      # epochs per second of replay
CARD = "0a1bc203"
# The card goes on the reader while the boat is still moored; the paid time
# ends as the boat is back at its berth. The server answers each check-in
# of the card with the paid time left, so the periodic check-ins do not
# prolong the session.
CARD_AT_EPOCH = 24
PAID_UNTIL_EPOCH = EPOCHS - 20
LAST_FIX = [line.split(",")[1] for line in open(LOG) if line.startswith("$GPRMC")][-1]
LAST_FIX = f"{LAST_FIX[0:2]}:{LAST_FIX[2:4]}:{LAST_FIX[4:6]}"
FUEL_FULL = 700
PORTS = {"database": 3306, "gpsd": 2947, "check-in server": 18080}

peers = Peers(root, "boatdemo-tracker.")
work, wait_for, start = peers.work, peers.wait_for, peers.start
out_dir = os.path.join(build, "tracker-demo")
state = os.path.join(work, "board.state")
env = dict(os.environ, BOATSIM_STATE=state)
boatsim = os.path.join(build, "sim", "boatsim")
boat_track = os.path.join(build, "track", "boat_track")
t0 = time.monotonic()


def say(text):
    print(f"{time.monotonic() - t0:6.1f} s  {text}", flush=True)


def board():
    r = subprocess.run([boatsim, "show", "--json"], env=env, capture_output=True, text=True, check=True)
    return json.loads(r.stdout)


def outputs():
    b = board()
    return f"LED {b['led']}, run relay {b['run_relay']}"


def main():
    ports_free(PORTS)
    os.makedirs(out_dir, exist_ok=True)
    os.chmod(work, 0o755)

    say("starting a private MariaDB server with the tracker's schema")
    peers.start_db()

    cards = os.path.join(work, "cards.txt")

    def paid_left(now):
        return max(1, int(replay_start + PAID_UNTIL_EPOCH / SPEEDUP - now))

    def answer_cards(now):
        with open(cards + ".new", "w") as f:
            f.write(f"{CARD.upper()} OK 0 {paid_left(now)}\n")
        os.replace(cards + ".new", cards)

    replay_start = time.monotonic() + 30  # until the replay really starts
    answer_cards(time.monotonic())
    with open(os.path.join(work, "boatid.txt"), "w") as f:
        f.write("7\n")
    start([os.path.join(build, "sim", "checkin-server"), "--cards", cards], "server")
    wait_for(lambda: port_open(18080), 10, "the check-in server's start")

    subprocess.run([boatsim, "new", "--profile", "tracker"], env=env, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([boatsim, "adc", "0", "700"], env=env, check=True, stdout=subprocess.DEVNULL)
    connstring = peers.start_nfc(boatsim, env)

    # gpsd starts the replay when its first client, the tracker, connects.
    delay = 1.0 / (SENTENCES_PER_EPOCH * SPEEDUP)
    say(f"gpsd replays {os.path.relpath(LOG, root)}: {EPOCHS} fixes at 1 Hz"
        + ("" if SPEEDUP == 1 else f", played {SPEEDUP} times as fast"))
    peers.start_gpsd(LOG, f"{delay:.4f}", once=True)

    tracker_err = os.path.join(work, "tracker.err")
    tracker = start([os.path.join(build, "tracker", "boat_tracker")], "tracker", cwd=work,
                    env=dict(env, LIBNFC_DEFAULT_DEVICE=connstring), stdout=open(os.path.join(work, "tracker.out"), "w"))
    os.replace(os.path.join(work, "tracker.log"), tracker_err)
    wait_for(lambda: "Start Loop" in open(tracker_err).read() or tracker.poll() is not None, 30, "boat_tracker's start")
    if tracker.poll() is not None:
        sys.exit("demo: boat_tracker ended:\n" + open(tracker_err).read()[-2000:])
    say("boat_tracker runs as boat 7: MySql Connected, NFC reader opened; the boat is moored")

    replay_start = time.monotonic()
    card_at = replay_start + CARD_AT_EPOCH / SPEEDUP
    card_put = False
    session_over = False
    last_report = 0.0
    last_fix = ""
    while last_fix != LAST_FIX and time.monotonic() - replay_start < EPOCHS / SPEEDUP + 20:
        now = time.monotonic()
        answer_cards(now)
        epoch = (now - replay_start) * SPEEDUP
        # The tank empties as the boat runs.
        subprocess.run([boatsim, "adc", "0", str(FUEL_FULL - int(max(0, epoch - CARD_AT_EPOCH) / 6))], env=env,
                       check=True, stdout=subprocess.DEVNULL)
        if not card_put and now >= card_at:
            subprocess.run([boatsim, "card", "put", CARD], env=env, check=True, stdout=subprocess.DEVNULL)
            wait_for(lambda: "Boat Started" in open(tracker_err).read(), 30, "the grant")
            subprocess.run([boatsim, "card", "take", CARD], env=env, check=True, stdout=subprocess.DEVNULL)
            say(f"card {CARD} presented: the check-in server grants the paid time, {paid_left(now)} s; {outputs()}")
            card_put = True
        if card_put and not session_over and board()["run_relay"] == "stopped":
            session_over = True
            say(f"the paid time is over, the session ends as the boat comes alongside; {outputs()}")
        row = peers.sql("SELECT COUNT(*), COALESCE(SUM(Active), 0), COALESCE(DATE_FORMAT(MAX(FixTime), '%H:%i:%s'), '-'), "
                  "COALESCE(ROUND(MAX(Speed) / 0.514444, 1), '-') FROM GPS").split("\t")
        if len(row) == 4:
            last_fix = row[2]
            if now - last_report >= (5 if SPEEDUP > 1 else 15):
                last_report = now
                say(f"rows: {row[0]} ({row[1]} in the paid session), last fix {row[2]} UTC, top {row[3]} kn; "
                    f"{outputs()}")
        time.sleep(0.25)
    say("the recorded trip is over; boat_tracker stops")
    os.killpg(tracker.pid, signal.SIGTERM)
    tracker.wait(60)

    def track(*args, **kw):
        r = subprocess.run([boat_track, *args], capture_output=True, text=True, **kw)
        if r.returncode != 0:
            sys.exit(f"demo: boat_track {' '.join(args)} failed:\n{r.stderr}")
        return r

    print()
    print("$ boat_track trips")
    listing = track("trips").stdout
    print(listing, end="")
    trips = [line.split() for line in listing.splitlines()[1:-1]]
    paid = [t[0] for t in trips if t[-2] == "yes"]
    files = []
    for fmt, name in (("gpx", "trips.gpx"), ("geojson", "trips.geojson"), ("csv", "trips.csv")):
        path = os.path.join(out_dir, name)
        track("export", "--format", fmt, "-o", path)
        files.append(path)
    path = os.path.join(out_dir, "trips.png")
    track("picture", "--size", "1024x768", "-o", path)
    files.append(path)
    if paid:
        for ext in ("png", "svg"):
            path = os.path.join(out_dir, f"trip-{paid[0]}.{ext}")
            track("picture", "--trip", paid[0], "--size", "800x600", "-o", path)
            files.append(path)
    print()
    print("Files for a map program (QGIS, a web map; the GPX also for Google Earth) and pictures:")
    for f in files:
        print(f"  {f}  ({os.path.getsize(f)} bytes)")
    rows = peers.sql("SELECT COUNT(*), SUM(Active) FROM GPS").split("\t")
    print()
    print(f"Summary: {rows[0]} rows from {EPOCHS} fixes, {rows[1]} of them in the paid session; "
          f"{len(trips)} trips, {len(paid)} paid; wall time {time.monotonic() - t0:.0f} s.")


peers.run(main)
