#!/usr/bin/env bash
# The servers the tests and the demo start listen on 127.0.0.1 and nowhere else: every listening
# socket of the server's process is bound to 127.0.0.1, and it has at least one.
#
#   check_loopback.sh dovecot <harness workdir>    the running Dovecot of tests/dovecot
#   check_loopback.sh courier <harness workdir>    the running Courier of tests/courier
#   check_loopback.sh demo <demo-pop3d>            starts the demo server, checks it, stops it
set -euo pipefail
HARNESS=check_loopback
# shellcheck source=../support/server-harness.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/server-harness.sh"
# The demo server prints its port at once; this bounds a start that hangs.
DEMO_START_SECONDS=10
# How long a started demo server serves at most if this script is killed before it stops it.
DEMO_SECONDS=60

# Fails unless every TCP and UDP socket that process $1 listens on is bound to 127.0.0.1.
check_pid() {
    local pid=$1 name=$2 sockets bad
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || die "$name is not running (pid '$pid')"
    sockets=$(ss -Hltunp | grep -F "pid=$pid," | awk '{print $5}' || true)
    [ -n "$sockets" ] || die "$name (pid $pid) listens on no socket that ss shows"
    bad=$(grep -vE '^127\.0\.0\.1:[0-9]+$' <<<"$sockets" || true)
    [ -z "$bad" ] || die "$name listens beyond loopback: $(tr '\n' ' ' <<<"$bad")"
    echo "$name listens on $(tr '\n' ' ' <<<"$sockets")only"
}

server_dir() {
    cat "$1/server-dir" 2>/dev/null || die "no server was started in $1"
}

case "${1:-}" in
dovecot) check_pid "$(cat "$(server_dir "$2")/run/master.pid" 2>/dev/null)" dovecot ;;
courier) check_pid "$(cat "$(server_dir "$2")/couriertcpd.pid" 2>/dev/null)" couriertcpd ;;
demo)
    work=$(mktemp -d)
    pid=""
    trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
    mkdir "$work/mails"
    printf 'From: a@example.jp\r\nSubject: x\r\n\r\nbody\r\n' >"$work/mails/1.eml"
    "$2" --mails "$work/mails" --seconds "$DEMO_SECONDS" >"$work/out" 2>&1 &
    pid=$!
    wait_until $((SECONDS + DEMO_START_SECONDS)) grep -q '^port: ' "$work/out" || true
    check_pid "$pid" demo-pop3d
    ;;
*) die "usage: check_loopback.sh dovecot|courier <workdir> | demo <demo-pop3d>" ;;
esac
