# Shell helpers of the real-server harnesses (tests/dovecot, tests/courier), sourced by them; HARNESS
# names the caller in its messages.

die() { echo "$HARNESS: $*" >&2; exit 1; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A loopback port nobody listened on a moment ago (the caller tries again when another took it).
pick_port() {
    local p i
    for ((i = 0; i < 200; i++)); do
        p=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        port_open "$p" || { echo "$p" && return 0; }
    done
    die "no free port found"
}

# Ends the process named in the pid file: TERM, then KILL after $2 tenths of a second.
stop_pid() {
    local file=$1 steps=$2 pid i
    pid=$(cat "$file" 2>/dev/null || true)
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || true
    for ((i = 0; i < steps; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$file"
}

# Stops the server of a work folder through the caller's stop_server, keeps its log "<name>.log" in
# the work folder, and removes the server folder when the harness made it ("brindle-<name>.*").
stop_for() {
    local work=$1 name=$2 srv
    srv=$(cat "$work/server-dir" 2>/dev/null || true)
    [ -n "$srv" ] && [ -d "$srv" ] || return 0
    stop_server "$srv"
    cp "$srv/$name.log" "$work/$name.log" 2>/dev/null || true
    case "$srv" in */brindle-"$name".*) rm -rf "$srv" ;; esac
    rm -f "$work/server-dir"
}
