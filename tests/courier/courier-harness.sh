#!/usr/bin/env bash
# A private Courier POP3 server on 127.0.0.1 for the integration tests; no system service is touched.
#
#   courier-harness.sh start <workdir> <courier-paths.so> [<root>]   account, mailbox, daemons, listening
#   courier-harness.sh stop <workdir>     stops them; keeps a copy of the log in <workdir>
#   courier-harness.sh reset <workdir>    puts the mailbox back to the known messages
#
# authdaemond (userdb), couriertcpd, courierpop3login and courierpop3d; the package of the last two
# conflicts with dovecot-pop3d, so tools/scripts/deps.sh unpacks it under <root> (else the installed
# ones run). courier-paths.so, preloaded, takes their compiled-in auth paths to the server's folder
# (named in <workdir>/server-dir: port, courier.log, auth/, mail/). No TLS: Dovecot covers it.
# Account: carol / Carol-pw.3. Started as root, the mail session runs as nobody.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SERVER=courier
# shellcheck source=../support/server-harness.sh
. "$HERE/../support/server-harness.sh"
USER_NAME=carol
PASSWORD='Carol-pw.3'
LIBEXEC=/usr/lib/courier
STOP_WAIT_SECONDS=5

# The user the mail session runs as: never root.
mail_owner() {
    if [ "$(id -u)" -ne 0 ]; then id -un; else echo nobody; fi
}

# Message 1 has a subject in raw Shift_JIS (テストの件名です), as old Japanese mailers send it: Courier
# hands such a message out unchanged only to a client that enabled UTF8 (RFC 6856).
reset_mailbox() {
    local srv=$1 maildir="$1/mail/$USER_NAME"
    new_maildir "$maildir"
    printf 'From: sender@example.jp\nTo: carol@brindle.test\nSubject: \x83\x65\x83\x58\x83\x67\x82\xcc\x8c\x8f\x96\xbc\x82\xc5\x82\xb7\nDate: Mon, 07 Dec 2026 09:00:00 +0900\nMIME-Version: 1.0\nContent-Type: text/plain; charset=Shift_JIS\n\n\x96\x7b\x95\xb6\x81\x46\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd\n' \
        >"$maildir/cur/1800000001.M1P1.brindle-test:2,"
    printf 'From: friend@example.org\nTo: carol@brindle.test\nSubject: plain ascii\nDate: Mon, 07 Dec 2026 10:00:00 +0900\n\nhello\n' \
        >"$maildir/cur/1800000002.M2P1.brindle-test:2,"
    own_maildir "$maildir"
}

write_auth() {
    local srv=$1 owner hash
    owner=$(mail_owner)
    mkdir -p "$srv/auth" "$srv/mail"
    printf 'authmodulelist="authuserdb"\nauthmodulelistorig="authuserdb"\ndaemons=3\nauthdaemonvar=%s/auth\nDEBUG_LOGIN=0\nDEFAULTOPTIONS=""\nLOGGEROPTS=""\n' \
        "$srv" >"$srv/auth/authdaemonrc"
    hash=$(openssl passwd -6 "$PASSWORD") || die "openssl could not hash the password"
    printf '%s\tuid=%s|gid=%s|home=%s/mail/%s|mail=%s/mail/%s|systempw=%s\n' "$USER_NAME" "$(id -u "$owner")" \
        "$(id -g "$owner")" "$srv" "$USER_NAME" "$srv" "$USER_NAME" "$hash" >"$srv/auth/userdb"
    chmod 0600 "$srv/auth/userdb"
    /usr/sbin/makeuserdb -f "$srv/auth/userdb" || die "makeuserdb failed"
    chmod 0755 "$srv" "$srv/auth" "$srv/mail"
}

stop_server() {
    stop_pid "$1/couriertcpd.pid" "$STOP_WAIT_SECONDS"
    stop_pid "$1/authdaemond.pid" "$STOP_WAIT_SECONDS"
}

# One attempt on a fresh port; 0 once it listens.
try_start() {
    local srv=$1 shim=$2 pop=$3 port deadline=$((SECONDS + START_WAIT_SECONDS))
    rm -rf "${srv:?}"/*
    port=$(pick_port)
    write_auth "$srv"
    reset_mailbox "$srv"
    # Copied beside the mail, which the unprivileged session reaches wherever the build tree is.
    mkdir -p "$srv/bin"
    cp "$pop/courierpop3login" "$pop/courierpop3d" "$shim" "$srv/bin/"
    chmod 0755 "$srv/bin" "$srv/bin"/*
    pop=$srv/bin shim=$srv/bin/$(basename "$shim")
    # The daemons must not keep the caller's output open: CTest waits for it to close.
    BRINDLE_COURIER_AUTH_DIR="$srv/auth" LD_PRELOAD="$shim" setsid "$LIBEXEC/courier-authlib/authdaemond" \
        </dev/null >>"$srv/courier.log" 2>&1 &
    echo $! >"$srv/authdaemond.pid"
    wait_until "$deadline" test -S "$srv/auth/socket" || { give_up "$srv"; return; }
    env -i PATH=/usr/bin:/bin BRINDLE_COURIER_AUTH_DIR="$srv/auth" LD_PRELOAD="$shim" POP3AUTH= \
        POP3_STARTTLS=NO POP3_TLS_REQUIRED=0 \
        /usr/sbin/couriertcpd -pid="$srv/couriertcpd.pid" -stderr="$srv/courier.log" -address=127.0.0.1 \
        -nodnslookup -noidentlookup -maxprocs=20 -maxperip=20 "$port" \
        "$pop/courierpop3login" "$pop/courierpop3d" Maildir </dev/null >/dev/null 2>&1 ||
        { give_up "$srv"; return; }
    wait_until "$deadline" listening "$port" || { give_up "$srv"; return; }
    echo "$port" >"$srv/port"
    echo "courier-harness: POP3 on 127.0.0.1:$port, in $srv"
}

[ $# -ge 2 ] || die "usage: $0 start <workdir> <courier-paths.so> [<root>] | stop <workdir> | reset <workdir>"
work=$2
case "$1" in
start)
    pop="${4:-}$LIBEXEC/courier"
    [ -x "$pop/courierpop3login" ] || pop=$LIBEXEC/courier
    [ -x "$pop/courierpop3login" ] ||
        die "Courier's POP3 server is neither in ${4:-(no root given)} nor installed: run tools/scripts/deps.sh test"
    [ -x "$LIBEXEC/courier-authlib/authdaemond" ] && [ -x /usr/sbin/makeuserdb ] && [ -x /usr/sbin/couriertcpd ] ||
        die "Courier is not installed (Debian packages courier-base and courier-authlib-userdb)"
    shim=$(realpath "${3:?courier-paths.so}")
    start_in "$work" "$shim" "$pop"
    ;;
stop) stop_for "$work" ;;
reset) reset_mailbox "$(cat "$work/server-dir")" ;;
*) die "unknown command $1" ;;
esac
