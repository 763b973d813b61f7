# Helpers of the checks inside the test machine; each check sources this.
#
# The board is the kernel's own: gpio-sim's chip labelled pinctrl-bcm2835
# carries the GPIO lines (read back through its sysfs, writes seen in the
# kernel's gpio trace events) and our SPI controller's /dev/spidev1.0 the
# reader or converter, answered by spi-answerer from a simulated board
# (boatsim), which also holds the cards and the converter's inputs.
set -euo pipefail
share=${BOAT_VM_SHARE:-/mnt/share}
sim=/opt/boatsim            # boatsim, checkin-server, spi-answerer
boards=/run/boatsim         # the simulated boards' state files
chip_label=pinctrl-bcm2835  # the chip the terminals are set to use
spi_device=/dev/spidev1.0
trace=/sys/kernel/tracing

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
board_json() { board "$1" show --json | python3 -c "import json, sys; print(json.load(sys.stdin)$2)"; }

# Each terminal's relays, as its profile has them: pin and level.
declare -A run_pin=([checkin]=23 [tracker]=15) running_level=([checkin]=1 [tracker]=0)
declare -A kill_pin=([checkin]=14 [tracker]=4) kill_active_level=([checkin]=1 [tracker]=1)
led_pins=(17 22 27)  # green, blue, red; lit when low
signal_pin=18

# The simulated chip's folder in sysfs and its first GPIO number, as
# 45-kernel-devices set it up.
chip_sysfs() { cat "$boards/chip-sysfs"; }
chip_base() { cat "$boards/chip-base"; }
line() { cat "$(chip_sysfs)/sim_gpio$1/value"; }
# The program holding line PIN of the chip ("" when none).
holder() { gpioinfo "$chip_label" | awk -v p="$1:" '$1 == "line" && $2 == p' | grep -o '"[^"]*"' | tr -d '"' || true; }
holds_lines() { [ "$(holder "${run_pin[$2]}")" = "$1" ]; }

run_relay() { if [ "$(line "${run_pin[$1]}")" = "${running_level[$1]}" ]; then echo running; else echo stopped; fi; }
relay_is() { [ "$(run_relay "$1")" = "$2" ]; }
kill_relay() { if [ "$(line "${kill_pin[$1]}")" = "${kill_active_level[$1]}" ]; then echo active; else echo off; fi; }
led() {
    local lit=() names=(green blue red) i
    for i in 0 1 2; do [ "$(line "${led_pins[$i]}")" = 0 ] && lit+=("${names[$i]}"); done
    case ${#lit[@]} in 0) echo off ;; 1) echo "${lit[0]}" ;; *) echo mixed ;; esac
}

# The levels set on the chip's lines, from the kernel's gpio trace events
# (gpio_value "set"): "SECONDS PROGRAM PIN LEVEL" a line, oldest first,
# SECONDS on the monotonic clock. Only events at or after SINCE (seconds).
gpio_writes() {
    python3 - "$(chip_base)" "${1:-0}" "$trace/trace" <<'PY'
import re, sys
base, since = int(sys.argv[1]), float(sys.argv[2])
event = re.compile(r"^\s*(\S+)-\d+\s+\[\d+\].*?\s([\d.]+): gpio_value: (\d+) set (\d)")
for text in open(sys.argv[3]):
    m = event.match(text)
    if not m:
        continue
    t, gpio = float(m.group(2)), int(m.group(3))
    if t >= since and base <= gpio < base + 54:
        print("%.6f %s %d %s" % (t, m.group(1), gpio - base, m.group(4)))
PY
}
# Rising edges PROGRAM set on line PIN since SINCE.
pulses() { gpio_writes "$3" | awk -v c="$1" -v p="$2" '$2 == c && $3 == p { if ($4 == 1 && last != 1) n++; last = $4 } END { print n + 0 }'; }
now() { python3 -c 'import time; print("%.6f" % time.monotonic())'; }

# until_line PIN LEVEL BOUND ACTION...: does ACTION ("kill PID SIGNAL" or a
# command to run) and prints the seconds from it to line PIN reading
# LEVEL, polled every millisecond; fails after BOUND seconds.
until_line() {
    python3 - "$(chip_sysfs)/sim_gpio$1/value" "$2" "$3" "${@:4}" <<'PY'
import os, subprocess, sys, time
path, level, bound, action = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4:]
fd = os.open(path, os.O_RDONLY)
t0 = time.monotonic()
if action[0] == "kill":
    os.kill(int(action[1]), int(action[2]))
    child = None
else:
    child = subprocess.Popen(action)
while True:
    now = os.pread(fd, 8, 0)[:1].decode()
    took = time.monotonic() - t0
    if now == level:
        print("%.3f" % took)
        break
    if took > bound:
        sys.exit("line still %s after %.0f s" % (now, bound))
    time.sleep(0.001)
if child:
    child.wait()
PY
}

unit_prop() { systemctl show -p "$2" --value "$1"; }
is_active() { [ "$(systemctl is-active "$1")" = active ]; }
# The unit's main process, once it runs one other than OLD_PID.
new_main_pid() {
    local pid
    pid=$(unit_prop "$1" MainPID)
    [ "$pid" != 0 ] && [ "$pid" != "${2:-0}" ] && is_active "$1"
}
# The journal of the unit's current run since CURSOR_FILE was written.
journal_since() { journalctl -u "$1" --no-pager -o cat --after-cursor="$(cat "$2")"; }
mark_journal() { journalctl -n 1 --show-cursor --no-pager -o cat | sed -n 's/^-- cursor: //p' >"$1"; }

# answer_for BOARD: spi-answerer answers the SPI controller's transfers
# from that board.
answer_for() {
    systemctl stop vm-spi-answerer 2>/dev/null || true
    systemctl reset-failed vm-spi-answerer 2>/dev/null || true
    systemd-run --unit=vm-spi-answerer --quiet -E BOATSIM_STATE="$boards/$1.state" "$sim/spi-answerer"
    wait_for 10 is_active vm-spi-answerer || fail "spi-answerer did not start"
}

# A card granted at a terminal's board: the card is put on, the run relay
# runs, the card is taken away (the session goes on without it, and a
# terminal started again finds no card).
grant() {
    board "$1" card put "$2" >/dev/null
    wait_for 60 relay_is "$1" running || fail "the card $2 did not start the boat"
    board "$1" card take --all >/dev/null
}

# terminal_gone_check TERMINAL UNIT CARD: the freeze and kill cases of one
# terminal. Seconds from the signal to the run relay's line reading
# stopped: at most 10 after a freeze (the watchdog), 2 after a kill (the
# kernel takes the lines back, the pull stops the boat). boat_safe then
# runs as root, on the chip of the settings, sets the stopped level itself
# (seconds from the signal in brackets) and ends well; the terminal started
# again holds the lines with the boat stopped.
terminal_gone_check() {
    local t=$1 unit=$2 card=$3 results=() sig bound pid t0 took safe cursor journal
    local pin=${run_pin[$1]} stopped=$((1 - running_level[$1]))
    systemctl is-active --quiet "$unit" || systemctl start "$unit"
    for sig in STOP:10 KILL:2 SEGV:2; do
        bound=${sig#*:}
        sig=${sig%:*}
        grant "$t" "$card"
        pid=$(unit_prop "$unit" MainPID)
        cursor=$(mktemp)
        mark_journal "$cursor"
        t0=$(now)
        took=$(until_line "$pin" "$stopped" "$bound" kill "$pid" "$(kill -l "$sig")") ||
            fail "SIG$sig: run relay still $(run_relay "$t") after $bound s"
        wait_for 60 new_main_pid "$unit" "$pid" || fail "SIG$sig: $unit not started again"
        safe=$(gpio_writes "$t0" | awk -v p="$pin" -v l="$stopped" -v t0="$t0" \
               '$2 == "boat_safe" && $3 == p && $4 == l { printf "%.3f", $1 - t0; exit }')
        [ -n "$safe" ] || fail "SIG$sig: boat_safe set no stopped level"
        wait_for 10 holds_lines "$unit" "$t" || fail "SIG$sig: the restarted $unit holds no lines"
        relay_is "$t" stopped || fail "SIG$sig: the restarted $unit left the run relay $(run_relay "$t")"
        journal=$(journal_since "$unit" "$cursor")
        if [ "$sig" = STOP ]; then
            grep -q "Watchdog timeout" <<<"$journal" || fail "SIGSTOP: no watchdog timeout in the journal"
        fi
        ! grep -q "Control process exited\|bcm2835_" <<<"$journal" ||
            fail "SIG$sig: $(grep "Control process exited\|bcm2835_" <<<"$journal")"
        results+=("SIG$sig $took s ($safe s)")
        rm -f "$cursor"
    done
    echo "run relay stopped after: ${results[*]}; boat_safe set it as root each time; restarted with the boat stopped"
}
