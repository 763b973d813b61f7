# Helpers of the checks inside the test machine; each check sources this.
set -euo pipefail
share=${BOAT_VM_SHARE:-/mnt/share}
sim=/opt/boatsim            # the simulated-board build of the programs
boards=/run/boatsim         # the simulated boards' state files

note() { echo "$*" >&2; }
fail() { echo "$*"; exit 1; }

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# status 1 once SECONDS have passed without.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# board NAME ARGS...: boatsim on the board NAME.
board() { BOATSIM_STATE=$boards/$1.state "$sim/boatsim" "${@:2}"; }
# The board's run relay ("running", "stopped", "unset") and LED colour.
run_relay() { board "$1" show --json | grep -o '"run_relay": "[a-z]*"' | cut -d'"' -f4; }
led() { board "$1" show --json | grep -o '"led": "[a-z]*"' | cut -d'"' -f4; }
relay_is() { [ "$(run_relay "$1")" = "$2" ]; }

unit_prop() { systemctl show -p "$2" --value "$1"; }
is_active() { [ "$(systemctl is-active "$1")" = active ]; }
# The unit's main process, once it runs one other than OLD_PID.
new_main_pid() {
    local pid
    pid=$(unit_prop "$1" MainPID)
    [ "$pid" != 0 ] && [ "$pid" != "${2:-0}" ] && is_active "$1"
}

# signal_at PID SIGNAL: sends it and prints the monotonic clock (ns) read
# right before, the clock of the board's event log.
signal_at() {
    python3 -c 'import os, sys, time
t = time.monotonic_ns()
os.kill(int(sys.argv[1]), int(sys.argv[2]))
print(t)' "$1" "$2"
}

# stopped_after BOARD T0: seconds from T0 to the first write of the run
# relay's stopped level at or after T0, from the board's event log, and how
# many such writes there were since; fails when there is none.
stopped_after() {
    local show
    show=$(board "$1" show)
    board "$1" events --json | python3 -c '
import json, re, sys
t0 = int(sys.argv[1])
m = re.search(r"run relay +stopped \(GPIO (\d+) (low|high)\)", sys.argv[2])
if not m:
    sys.exit("run relay not stopped")
pin, level = int(m.group(1)), 1 if m.group(2) == "high" else 0
stops = [e["t_ns"] for e in json.load(sys.stdin)["events"]
         if e["t_ns"] >= t0 and e["pin"] == pin and e["level"] == level]
if not stops:
    sys.exit("no stopped level written since the signal")
print("%.2f %d" % ((stops[0] - t0) / 1e9, len(stops)))' "$2" "$show"
}

# The journal of the unit's current run since CURSOR_FILE was written.
journal_since() { journalctl -u "$1" --no-pager -o cat --after-cursor="$(cat "$2")"; }
mark_journal() { journalctl -n 1 --show-cursor --no-pager -o cat | sed -n 's/^-- cursor: //p' >"$1"; }

# A card granted at a terminal's board: the card is put on, the run relay
# runs, the card is taken away (the session goes on without it, and a
# terminal started again finds no card).
grant() {
    board "$1" card put "$2" >/dev/null
    wait_for 60 relay_is "$1" running || fail "the card $2 did not start the boat"
    board "$1" card take --all >/dev/null
}

# Two stopped levels written since T0: boat_safe's, then the restarted
# terminal's.
restart_stopped() { local n; n=$(stopped_after "$1" "$2" | cut -d' ' -f2) && [ "$n" -ge 2 ]; }

# terminal_gone_check BOARD UNIT CARD: the freeze and kill cases of one
# terminal. Seconds from the signal to the run relay's stopped level: at
# most 10 after a freeze (the watchdog), 2 after a kill.
terminal_gone_check() {
    local b=$1 unit=$2 card=$3 results=() sig bound pid t0 took cursor
    systemctl is-active --quiet "$unit" || systemctl start "$unit"
    for sig in STOP:10 KILL:2 SEGV:2; do
        bound=${sig#*:}
        sig=${sig%:*}
        grant "$b" "$card"
        pid=$(unit_prop "$unit" MainPID)
        cursor=$(mktemp)
        mark_journal "$cursor"
        t0=$(signal_at "$pid" "$(kill -l "$sig")")
        wait_for $((bound + 20)) relay_is "$b" stopped || fail "SIG$sig: run relay still $(run_relay "$b")"
        took=$(stopped_after "$b" "$t0" | cut -d' ' -f1)
        awk -v t="$took" -v m="$bound" 'BEGIN { exit !(t <= m) }' || fail "SIG$sig: run relay stopped $took s after, more than $bound s"
        # The terminal started again, which stops the boat at its start-up
        # once more.
        wait_for 60 new_main_pid "$unit" "$pid" || fail "SIG$sig: $unit not started again"
        wait_for 10 restart_stopped "$b" "$t0" || fail "SIG$sig: the restarted $unit did not stop the boat"
        if [ "$sig" = STOP ]; then
            journal_since "$unit" "$cursor" | grep -q "Watchdog timeout" || fail "SIGSTOP: no watchdog timeout in the journal"
        fi
        relay_is "$b" stopped || fail "SIG$sig: the restarted $unit left the run relay $(run_relay "$b")"
        results+=("SIG$sig ${took} s")
        rm -f "$cursor"
    done
    echo "run relay stopped after: ${results[*]}; restarted each time with the boat stopped"
}
