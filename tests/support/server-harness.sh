# Shell helpers of the real-server harnesses (tests/dovecot, tests/courier), sourced by them once they
# set SERVER (dovecot, courier): their messages, logs "<SERVER>.log" and folders "brindle-<SERVER>.*".
# Another script sets HARNESS, its name in messages, instead.
HARNESS=${HARNESS:-$SERVER-harness}
# The server has this long to listen after it was started; a loaded 2-core machine needs well under
# a second, so a hung start fails within a bounded time instead of blocking the test run.
START_WAIT_SECONDS=20
# A free port can be taken by someone else between the probe and the server's bind: try again.
START_ATTEMPTS=3

die() { echo "$HARNESS: $*" >&2; exit 1; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Every port given listens (0: none to wait for).
listening() { local p; for p; do [ "$p" = 0 ] || port_open "$p" || return 1; done; }
# 0 once the command succeeds; 1 when the deadline (a SECONDS value) passes first.
wait_until() {
    local deadline=$1
    shift
    until "$@"; do [ "$SECONDS" -lt "$deadline" ] && sleep 0.1 || return 1; done
}
gone() { ! kill -0 "$1" 2>/dev/null; }
# A failed attempt: the server's log to stderr, the server stopped; returns 1.
give_up() { cat "$1/$SERVER.log" >&2 2>/dev/null || true; stop_server "$1"; return 1; }
# An empty maildir, and one handed to the caller's mail_owner (never root) when started as root.
new_maildir() { rm -rf "$1" && mkdir -p "$1/cur" "$1/new" "$1/tmp"; }
own_maildir() { [ "$(id -u)" -ne 0 ] || chown -R "$(mail_owner):" "$1"; }

# A loopback port nobody listened on a moment ago (the caller tries again when another took it).
pick_port() {
    local p i
    for ((i = 0; i < 200; i++)); do
        p=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        port_open "$p" || { echo "$p" && return 0; }
    done
    die "no free port found"
}

# Ends the process named in the pid file: TERM, then KILL after $2 seconds.
stop_pid() {
    local pid
    pid=$(cat "$1" 2>/dev/null || true)
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || true
    wait_until $((SECONDS + $2)) gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
    rm -f "$1"
}

# Stops the server of a work folder through the caller's stop_server, keeps its log in the work
# folder, and removes the server folder when the harness made it.
stop_for() {
    local work=$1 srv
    srv=$(cat "$work/server-dir" 2>/dev/null || true)
    [ -n "$srv" ] && [ -d "$srv" ] || return 0
    stop_server "$srv"
    cp "$srv/$SERVER.log" "$work/$SERVER.log" 2>/dev/null || true
    case "$srv" in */brindle-"$SERVER".*) rm -rf "$srv" ;; esac
    rm -f "$work/server-dir"
}

# "start": a fresh server folder, named in the work folder, and up to START_ATTEMPTS runs of the
# caller's try_start <server folder> <arguments> (each on fresh ports); exits.
start_in() {
    local work=$1 srv attempt
    shift
    mkdir -p "$work"
    stop_for "$work"
    srv=$(mktemp -d "${TMPDIR:-/tmp}/brindle-$SERVER.XXXXXX")
    echo "$srv" >"$work/server-dir"
    for ((attempt = 1; attempt <= START_ATTEMPTS; attempt++)); do
        try_start "$srv" "$@" && exit 0
    done
    die "$SERVER did not start (log: $srv/$SERVER.log)"
}
