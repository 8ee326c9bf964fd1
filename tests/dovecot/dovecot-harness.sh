#!/usr/bin/env bash
# A private Dovecot POP3 server on 127.0.0.1 for the integration tests; no system service is touched.
#
#   dovecot-harness.sh start <workdir> [tls]    configuration, mailboxes, server; waits until it listens
#   dovecot-harness.sh stop <workdir>           stops it; keeps a copy of its log in <workdir>
#   dovecot-harness.sh reset <workdir> <user>   puts the user's mailbox back to the known messages
#   dovecot-harness.sh fill|save <workdir> <user> <folder>   for the benchmarks: the user's maildir
#       becomes a copy of folder (a generated mailbox), or folder of it (its state with a warm index)
#
# The server's folder (in the temporary directory, which its unprivileged mail processes reach) is
# named in <workdir>/server-dir: port, tlsport, dovecot.log, conf/, mail/. With "tls": STLS on port,
# TLS from the start on tlsport, a self-signed certificate for 127.0.0.1 (conf/cert.pem); else none.
# Accounts (plain-text passwords, for APOP): alice / Alice-pw.1, bob / Bob-pw.2, dave / "Dave pw &7%!".
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SERVER=dovecot
# shellcheck source=../support/server-harness.sh
. "$HERE/../support/server-harness.sh"
USERS=(alice bob dave)
declare -A PASSWORDS=([alice]='Alice-pw.1' [bob]='Bob-pw.2' [dave]='Dave pw &7%!')
# Dovecot takes 2 to 3 seconds to shut down (its log process drains last); past this it is killed.
STOP_WAIT_SECONDS=15
LARGE_MAIL_LINES=4000 # about 300 KB: far beyond any fixed 8192-byte buffer

# The user the mail processes run as: never root.
mail_owner() {
    if [ "$(id -u)" -ne 0 ]; then id -un; elif getent passwd dovecot >/dev/null; then echo dovecot; else echo nobody; fi
}

large_message() {
    local i
    printf 'Return-Path: <archive@example.net>\nFrom: Mail Archive <archive@example.net>\n'
    printf 'To: alice@brindle.test\nSubject: Monthly archive\nDate: Sat, 05 Dec 2026 03:00:00 +0000\n'
    printf 'MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n'
    for ((i = 1; i <= LARGE_MAIL_LINES; i++)); do
        printf 'archive line %05d: the quick brown fox jumps over the lazy dog 0123456789\n' "$i"
        # Lines that the server must dot-stuff and the client must unstuff.
        [ "$i" -ne 2000 ] || printf '.dot-leading line\n.\n..\n'
    done
    printf 'end of archive\n'
}

# Maildir names sort in the order the server numbers the messages.
reset_mailbox() {
    local srv=$1 user=$2 maildir f seq=0
    [ -n "${PASSWORDS[$user]+x}" ] || die "unknown user '$user'"
    maildir="$srv/mail/$user"
    new_maildir "$maildir"
    for f in "$HERE"/mail/*.eml; do
        seq=$((seq + 1))
        cp "$f" "$maildir/cur/$((1800000000 + seq)).M${seq}P1.brindle-test:2,"
    done
    seq=$((seq + 1))
    large_message >"$maildir/cur/$((1800000000 + seq)).M${seq}P1.brindle-test:2,"
    own_maildir "$maildir"
}

# The maildir as a copy of a folder (cur/, new/, tmp/ and any index files of an earlier save).
fill_mailbox() {
    local srv=$1 user=$2 from=$3 maildir
    [ -n "${PASSWORDS[$user]+x}" ] || die "unknown user '$user'"
    [ -d "$from/cur" ] || die "'$from' is no maildir"
    maildir="$srv/mail/$user"
    rm -rf "$maildir"
    cp -a "$from" "$maildir"
    own_maildir "$maildir"
}

write_config() {
    local srv=$1 port=$2 tlsport=$3 owner u internal login chroot_setting=""
    owner=$(mail_owner)
    mkdir -p "$srv/conf" "$srv/run" "$srv/state" "$srv/mail" "$srv/home"
    : >"$srv/conf/passwd"
    for u in "${USERS[@]}"; do
        printf '%s:{PLAIN}%s::::::\n' "$u" "${PASSWORDS[$u]}" >>"$srv/conf/passwd"
    done
    chmod 0644 "$srv/conf/passwd"
    if [ "$(id -u)" -eq 0 ]; then
        internal=$(getent passwd dovecot >/dev/null && echo dovecot || echo nobody)
        login=$(getent passwd dovenull >/dev/null && echo dovenull || echo nobody)
        chown "$owner:" "$srv/home"
    else
        internal=$(id -un) login=$(id -un) chroot_setting="chroot ="
    fi
    if [ "$tlsport" -ne 0 ]; then
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=127.0.0.1" \
            -addext "subjectAltName=IP:127.0.0.1" -keyout "$srv/conf/key.pem" -out "$srv/conf/cert.pem" \
            >/dev/null 2>&1 || die "openssl could not make the test certificate"
        chmod 0644 "$srv/conf/cert.pem"
        printf 'ssl = yes\nssl_cert = <%s\nssl_key = <%s\n' "$srv/conf/cert.pem" "$srv/conf/key.pem" \
            >"$srv/conf/ssl.conf"
    fi
    # Values for the template, sed-safe: paths and names hold no "|", no "&" and no backslash.
    sed -e "s|@SRV@|$srv|g" -e "s|@PORT@|$port|g" -e "s|@TLSPORT@|$tlsport|g" \
        -e "s|@INTERNAL@|$internal|g" -e "s|@INTERNAL_GROUP@|$(id -gn "$internal")|g" -e "s|@LOGIN@|$login|g" \
        -e "s|@UID@|$(id -u "$owner")|g" -e "s|@GID@|$(id -g "$owner")|g" -e "s|@CHROOT@|$chroot_setting|g" \
        "$HERE/dovecot.conf.in" >"$srv/conf/dovecot.conf"
    chmod 0755 "$srv" "$srv/mail" "$srv/home"
}

stop_server() {
    stop_pid "$1/run/master.pid" "$STOP_WAIT_SECONDS"
}

# One attempt at starting the server on fresh ports; 0 once it listens.
try_start() {
    local srv=$1 tls=$2 port tlsport=0 u deadline=$((SECONDS + START_WAIT_SECONDS))
    rm -rf "${srv:?}"/*
    port=$(pick_port)
    if [ "$tls" = tls ]; then
        tlsport=$(pick_port)
        [ "$tlsport" != "$port" ] || tlsport=$(pick_port)
    fi
    write_config "$srv" "$port" "$tlsport"
    for u in "${USERS[@]}"; do
        reset_mailbox "$srv" "$u"
    done
    # The daemon must not keep the caller's output open: CTest waits for it to close.
    "$(command -v dovecot || echo /usr/sbin/dovecot)" -c "$srv/conf/dovecot.conf" </dev/null >"$srv/start.out" 2>&1 ||
        { cat "$srv/start.out" >&2; return 1; }
    wait_until "$deadline" listening "$port" "$tlsport" || { give_up "$srv"; return; }
    echo "$port" >"$srv/port"
    echo "$tlsport" >"$srv/tlsport"
    echo "dovecot-harness: POP3 on 127.0.0.1:$port, POP3S on $tlsport (0: none), in $srv"
}

[ $# -ge 2 ] || die "usage: $0 start <workdir> [tls] | stop <workdir> | reset <workdir> <user> | fill|save <workdir> <user> <folder>"
work=$2
case "$1" in
start)
    [ -x /usr/lib/dovecot/pop3 ] || [ -x /usr/libexec/dovecot/pop3 ] ||
        die "the Dovecot POP3 server is not installed (Debian packages dovecot-core and dovecot-pop3d)"
    start_in "$work" "${3:-}"
    ;;
stop) stop_for "$work" ;;
reset) reset_mailbox "$(cat "$work/server-dir")" "${3:?user}" ;;
fill) fill_mailbox "$(cat "$work/server-dir")" "${3:?user}" "${4:?folder}" ;;
save)
    rm -rf "${4:?folder}"
    cp -a "$(cat "$work/server-dir")/mail/${3:?user}" "$4"
    ;;
*) die "unknown command $1" ;;
esac
