#!/usr/bin/env bash
# MariaDB servers for the tests of boat_tracker and boat_track and for the
# soak. The fixture makes one data directory with the tracker's schema;
# each test starts a server of its own
# on a copy of it, listening on DIR/mysqld.sock and on 127.0.0.1:3306 of
# the test's own network namespace.
#   mariadb.sh template DIR         fresh data directory with the schema;
#                                   no server left running, no port used
#   mariadb.sh start DIR TEMPLATE   a copy of TEMPLATE's data directory, started
#   mariadb.sh stop DIR             stop the server (data kept)
#   mariadb.sh resume DIR           start again on the kept data directory
# Exits non-zero with the reason on stderr when the server cannot run.
set -euo pipefail

usage="usage: mariadb.sh template|start|stop|resume DIR [TEMPLATE]"
cmd=${1:?$usage}
dir=${2:?$usage}
here=$(cd "$(dirname "$0")" && pwd)
schema=${BOAT_SCHEMA:-$here/../../deploy/schema.sql}
sock=$dir/mysqld.sock
pidf=$dir/mysqld.pid
# Temporary tables of its own: servers started side by side share no /tmp.
tmpd=$dir/tmp

fail() { echo "mariadb.sh: $*" >&2; [[ -f $dir/server.log ]] && tail -n 20 "$dir/server.log" >&2; exit 1; }

server_pid() { [[ -f $pidf ]] && cat "$pidf" 2>/dev/null || true; }

stop_server() {
    local pid
    pid=$(server_pid)
    [[ -n $pid ]] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid"
        for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; sleep 0.2; fi
    fi
    rm -f "$pidf"
}

port_busy() { (exec 3<>/dev/tcp/127.0.0.1/3306) 2>/dev/null; }

# start_server tcp|socket-only
start_server() {
    local net=(--bind-address=127.0.0.1 --port=3306)
    if [[ $1 == tcp ]]; then
        port_busy && fail "127.0.0.1:3306 is already in use by another program"
    else
        net=(--skip-networking)
    fi
    mkdir -p "$tmpd"
    setsid /usr/sbin/mariadbd --no-defaults --user=root --datadir="$dir/data" --tmpdir="$tmpd" \
        --socket="$sock" --pid-file="$pidf" "${net[@]}" \
        --skip-name-resolve --log-error="$dir/server.log" \
        --innodb-buffer-pool-size=16M --innodb-log-file-size=8M \
        </dev/null >/dev/null 2>&1 &
    local launcher=$!
    for _ in $(seq 1200); do
        if mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1 &&
            { [[ $1 != tcp ]] || port_busy; }; then
            return 0
        fi
        kill -0 "$launcher" 2>/dev/null || fail "mariadbd exited during start-up"
        sleep 0.05
    done
    fail "mariadbd did not answer within 60 s"
}

case $cmd in
template)
    stop_server
    rm -rf "$dir"
    mkdir -p "$tmpd"
    mariadb-install-db --no-defaults --user=root --datadir="$dir/data" --tmpdir="$tmpd" \
        --auth-root-authentication-method=socket --skip-test-db \
        >"$dir/install.log" 2>&1 || fail "mariadb-install-db failed (see $dir/install.log)"
    start_server socket-only
    mariadb --no-defaults --socket="$sock" -uroot <"$schema" || fail "loading $schema failed"
    stop_server
    ;;
start)
    template=${3:?$usage}
    [[ -d $template/data ]] || fail "no template data directory in $template"
    stop_server
    rm -rf "$dir"
    mkdir -p "$dir"
    cp -a "$template/data" "$dir/data"
    start_server tcp
    ;;
stop)
    stop_server
    ;;
resume)
    [[ -d $dir/data ]] || fail "no data directory in $dir: run start first"
    start_server tcp
    ;;
*)
    fail "unknown command $cmd"
    ;;
esac
