#!/usr/bin/env bash
# A private Dovecot POP3 server for the integration tests.
#
#   dovecot-harness.sh start <workdir> [tls]    config, mailboxes, server; waits for the greeting
#   dovecot-harness.sh stop <workdir>           stops the server started in <workdir>
#   dovecot-harness.sh reset <workdir> <user> [empty]
#                                               puts the user's mailbox back to the known messages
#                                               (or empties it)
#   dovecot-harness.sh kick <workdir> <user>    drops the user's open POP3 sessions from the server side
#
# Nothing outside <workdir> is touched: the configuration, sockets, state, log and mailboxes all live
# there, and no system service is started. The chosen port is written to <workdir>/port.
# Run as root, the server's processes work as unprivileged users; when those cannot reach
# <workdir> (a build folder under a private home folder, say), the server lives in a folder of its
# own under the temporary directory instead, <workdir> links to its port, log, configuration and
# mailboxes, and "stop" removes that folder again, keeping a copy of the log.
#
# With "tls" the server offers STLS on <workdir>/port and speaks TLS from the start on
# <workdir>/tlsport, with a self-signed certificate for 127.0.0.1 made at start
# (<workdir>/conf/cert.pem). Without it there is no TLS at all, so that clients which upgrade
# whenever STLS is offered stay in plain text.
#
# Accounts (passwords stored in plain text so that APOP can be checked):
#   alice / Alice-pw.1   bob / Bob-pw.2   carol / Carol-pw.3
#   dave / "Dave pw &7%!" (blanks and signs; no test changes this mailbox)
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
MAIL_SRC="$HERE/mail"
USERS=(alice bob carol dave)
declare -A PASSWORDS=([alice]='Alice-pw.1' [bob]='Bob-pw.2' [carol]='Carol-pw.3' [dave]='Dave pw &7%!')
# The server has this long to greet after it was started; a loaded 2-core machine needs well under
# a second, so a hung start fails within a bounded time instead of blocking the test run.
START_WAIT_SECONDS=20
# A kicked session process ends at once; this only bounds the wait for it.
KICK_WAIT_STEPS=100 # x 0.05 s
# Dovecot takes 2 to 3 seconds to shut down (its log process drains last); past this bound it is
# killed.
STOP_WAIT_STEPS=150 # x 0.1 s
# A free port can be taken by someone else between the probe and Dovecot's bind: try again.
START_ATTEMPTS=3
LARGE_MAIL_LINES=4000 # about 300 KB: far beyond any fixed 8192-byte buffer

die() {
    echo "dovecot-harness: $*" >&2
    exit 1
}

usage() {
    die "usage: $0 start <workdir> [tls] | stop <workdir> | reset <workdir> <user> [empty] | kick <workdir> <user>"
}

need_dovecot() {
    if ! command -v dovecot >/dev/null 2>&1 && [ ! -x /usr/sbin/dovecot ]; then
        die "dovecot is not installed (Debian packages dovecot-core and dovecot-pop3d; tools/scripts/deps.sh installs them)"
    fi
    if [ ! -x /usr/lib/dovecot/pop3 ] && [ ! -x /usr/libexec/dovecot/pop3 ]; then
        die "the Dovecot POP3 server is not installed (Debian package dovecot-pop3d; tools/scripts/deps.sh installs it)"
    fi
}

dovecot_bin() {
    command -v dovecot 2>/dev/null || echo /usr/sbin/dovecot
}

doveadm_bin() {
    command -v doveadm 2>/dev/null || echo /usr/bin/doveadm
}

# True when something accepts connections on 127.0.0.1:$1.
port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
    local p i
    for ((i = 0; i < 200; i++)); do
        p=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        if ! port_open "$p"; then
            echo "$p"
            return 0
        fi
    done
    die "no free port found"
}

# The user the mail processes run as. Mail is not accessed as root, so under root the mailboxes
# belong to an unprivileged system account.
mail_owner() {
    if [ "$(id -u)" -ne 0 ]; then
        id -un
    elif getent passwd dovecot >/dev/null; then
        echo dovecot
    else
        echo nobody
    fi
}

# Writes one message into the Maildir "cur" folder. Names sort in the order the server numbers them.
put_message() {
    local maildir=$1 seq=$2 src=$3
    cp "$src" "$maildir/cur/$((1800000000 + seq)).M${seq}P1.brindle-test:2,"
}

large_message() {
    local i
    printf 'Return-Path: <archive@example.net>\n'
    printf 'From: Mail Archive <archive@example.net>\n'
    printf 'To: alice@brindle.test\n'
    printf 'Subject: Monthly archive\n'
    printf 'Date: Sat, 05 Dec 2026 03:00:00 +0000\n'
    printf 'Message-ID: <large-0006@example.net>\n'
    printf 'MIME-Version: 1.0\n'
    printf 'Content-Type: text/plain; charset=us-ascii\n\n'
    for ((i = 1; i <= LARGE_MAIL_LINES; i++)); do
        printf 'archive line %05d: the quick brown fox jumps over the lazy dog 0123456789\n' "$i"
        if [ "$i" -eq 2000 ]; then
            # Lines that the server must dot-stuff and the client must unstuff.
            printf '.dot-leading line\n.\n..\n'
        fi
    done
    printf 'end of archive\n'
}

reset_mailbox() {
    local work=$1 user=$2 empty=${3:-} maildir f seq=0 owner
    [ -n "${PASSWORDS[$user]+x}" ] || die "unknown user '$user'"
    maildir="$work/mail/$user"
    rm -rf "$maildir"
    mkdir -p "$maildir/cur" "$maildir/new" "$maildir/tmp"
    if [ "$empty" != empty ]; then
        for f in "$MAIL_SRC"/*.eml; do
            seq=$((seq + 1))
            put_message "$maildir" "$seq" "$f"
        done
        seq=$((seq + 1))
        large_message >"$maildir/cur/$((1800000000 + seq)).M${seq}P1.brindle-test:2,"
    fi
    owner=$(mail_owner)
    if [ "$(id -u)" -eq 0 ]; then
        chown -R "$owner:" "$work/mail/$user"
    fi
}

make_certificate() {
    local conf=$1
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
        -keyout "$conf/key.pem" -out "$conf/cert.pem" >/dev/null 2>&1 ||
        die "openssl could not make the test certificate"
    chmod 0644 "$conf/cert.pem"
    chmod 0600 "$conf/key.pem"
}

write_config() {
    local work=$1 port=$2 tlsport=$3 owner uid gid u ssl_settings
    owner=$(mail_owner)
    uid=$(id -u "$owner")
    gid=$(id -g "$owner")
    mkdir -p "$work/conf" "$work/run" "$work/state" "$work/mail" "$work/home"
    : >"$work/conf/passwd"
    for u in "${USERS[@]}"; do
        printf '%s:{PLAIN}%s::::::\n' "$u" "${PASSWORDS[$u]}" >>"$work/conf/passwd"
    done
    chmod 0644 "$work/conf/passwd"
    local login_user internal_user internal_group chroot_setting=""
    if [ "$(id -u)" -eq 0 ]; then
        internal_user=$(getent passwd dovecot >/dev/null && echo dovecot || echo nobody)
        login_user=$(getent passwd dovenull >/dev/null && echo dovenull || echo nobody)
        internal_group=$(id -gn "$internal_user")
    else
        # Without root every process and socket belongs to the caller.
        internal_user=$(id -un)
        login_user=$(id -un)
        internal_group=$(id -gn)
        chroot_setting="chroot ="
    fi
    if [ "$tlsport" -ne 0 ]; then
        command -v openssl >/dev/null 2>&1 || die "openssl is not installed (tools/scripts/deps.sh installs it)"
        make_certificate "$work/conf"
        ssl_settings="ssl = yes
ssl_cert = <$work/conf/cert.pem
ssl_key = <$work/conf/key.pem"
    else
        ssl_settings="ssl = no"
    fi
    cat >"$work/conf/dovecot.conf" <<EOF
# Generated by dovecot-harness.sh for the integration tests; every path is inside the work folder.
protocols = pop3
listen = 127.0.0.1
base_dir = $work/run
state_dir = $work/state
log_path = $work/dovecot.log
info_log_path = $work/dovecot.log
instance_name = brindle-test-$port
default_internal_user = $internal_user
default_login_user = $login_user
default_internal_group = $internal_group
first_valid_uid = 1
$ssl_settings
disable_plaintext_auth = no
auth_mechanisms = plain apop
# Failed logins are part of the tests: no failure delay and no growing penalty per address.
auth_failure_delay = 0
login_trusted_networks = 127.0.0.0/8
shutdown_clients = yes
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $work/conf/passwd
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$work/home/%u
}
mail_location = maildir:$work/mail/%u
pop3_uidl_format = %08Xu%08Xv
service pop3-login {
  $chroot_setting
  inet_listener pop3 {
    address = 127.0.0.1
    port = $port
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $tlsport
    ssl = yes
  }
}
service anvil {
  $chroot_setting
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
    # The mail processes run as the mail owner and must reach the mailboxes.
    chmod 0755 "$work" "$work/mail" "$work/home"
    if [ "$(id -u)" -eq 0 ]; then
        chown "$owner:" "$work/home"
    fi
}

stop_server() {
    local work=$1 pid i
    [ -f "$work/run/master.pid" ] || return 0
    pid=$(cat "$work/run/master.pid" 2>/dev/null || true)
    [ -n "$pid" ] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for ((i = 0; i < STOP_WAIT_STEPS; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$work/run/master.pid"
}

greets() {
    local port=$1 line
    exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
    line=""
    IFS= read -r -t 2 line <&3 || true
    printf 'QUIT\r\n' >&3 || true
    exec 3<&- 3>&-
    [[ "$line" == "+OK"* ]]
}

# One attempt at starting the server on fresh ports; 0 once it greets.
try_start() {
    local work=$1 tls=$2 port tlsport=0 u
    rm -rf "${work:?}/run" "${work:?}/state" "${work:?}/home" "${work:?}/mail" "${work:?}/conf" "${work:?}/port" \
        "${work:?}/tlsport" "${work:?}/dovecot.log" "${work:?}/start.out"
    port=$(pick_port)
    if [ "$tls" = tls ]; then
        tlsport=$(pick_port)
        [ "$tlsport" != "$port" ] || tlsport=$(pick_port)
    fi
    write_config "$work" "$port" "$tlsport"
    for u in "${USERS[@]}"; do
        reset_mailbox "$work" "$u"
    done
    # The daemon must not keep the caller's output open: CTest and QProcess wait for it to close.
    if ! "$(dovecot_bin)" -c "$work/conf/dovecot.conf" </dev/null >"$work/start.out" 2>&1; then
        cat "$work/start.out" >&2 2>/dev/null || true
        return 1
    fi
    local deadline=$((SECONDS + START_WAIT_SECONDS))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if greets "$port" 2>/dev/null && { [ "$tlsport" -eq 0 ] || port_open "$tlsport"; }; then
            echo "$port" >"$work/port"
            if [ "$tlsport" -ne 0 ]; then
                echo "$tlsport" >"$work/tlsport"
                echo "dovecot-harness: POP3 with STLS on 127.0.0.1:$port, POP3S on 127.0.0.1:$tlsport (work folder $work)"
            else
                echo "dovecot-harness: POP3 on 127.0.0.1:$port (work folder $work)"
            fi
            return 0
        fi
        sleep 0.1
    done
    cat "$work/dovecot.log" >&2 2>/dev/null || true
    echo "dovecot-harness: no greeting on 127.0.0.1:$port" >&2
    stop_server "$work"
    return 1
}

# The folder the server works in: the work folder itself, or the one named in it.
server_dir() {
    local work=$1
    if [ -f "$work/server-dir" ]; then
        cat "$work/server-dir"
    else
        echo "$work"
    fi
}

# True when the given user can reach the folder. Without root everything runs as the caller.
reachable_by() {
    local user=$1 dir=$2
    [ "$(id -u)" -ne 0 ] && return 0
    command -v setpriv >/dev/null 2>&1 || return 1
    setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --clear-groups test -x "$dir" 2>/dev/null
}

# Removes a server folder of its own after its server has stopped, keeping the log in the work
# folder.
drop_server_dir() {
    local work=$1 srv
    [ -f "$work/server-dir" ] || return 0
    srv=$(cat "$work/server-dir")
    rm -f "$work/port" "$work/tlsport" "$work/conf" "$work/mail"
    if [ -L "$work/dovecot.log" ]; then
        rm -f "$work/dovecot.log"
        cp "$srv/dovecot.log" "$work/dovecot.log" 2>/dev/null || true
    fi
    case "$srv" in
    */brindle-dovecot.*) rm -rf "$srv" ;;
    esac
    rm -f "$work/server-dir"
}

start_server() {
    local work=$1 tls=$2 attempt srv n
    need_dovecot
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    stop_server "$(server_dir "$work")"
    drop_server_dir "$work"
    srv=$work
    if ! reachable_by "$(mail_owner)" "$work"; then
        srv=$(mktemp -d "${TMPDIR:-/tmp}/brindle-dovecot.XXXXXX")
        chmod 0755 "$srv"
        echo "$srv" >"$work/server-dir"
        rm -rf "${work:?}/port" "${work:?}/tlsport" "${work:?}/dovecot.log" "${work:?}/conf" "${work:?}/mail"
    fi
    for ((attempt = 1; attempt <= START_ATTEMPTS; attempt++)); do
        if try_start "$srv" "$tls"; then
            if [ "$srv" != "$work" ]; then
                for n in port tlsport dovecot.log conf mail; do
                    [ ! -e "$srv/$n" ] || ln -sfn "$srv/$n" "$work/$n"
                done
            fi
            return 0
        fi
    done
    die "dovecot did not start (log: $srv/dovecot.log)"
}

# Ends the user's sessions and returns only when their processes are gone, so that whatever the
# client sends next can no longer reach them.
kick_user() {
    local work=$1 user=$2 conf pids pid i
    conf="$work/conf/dovecot.conf"
    pids=$("$(doveadm_bin)" -c "$conf" -f tab who -1 "$user" 2>/dev/null | awk -F'\t' 'NR > 1 { print $3 }')
    [ -n "$pids" ] || die "no open session of '$user' to drop"
    "$(doveadm_bin)" -c "$conf" kick "$user" >/dev/null
    for pid in $pids; do
        for ((i = 0; i < KICK_WAIT_STEPS; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        if kill -0 "$pid" 2>/dev/null; then
            die "session process $pid of '$user' did not end"
        fi
    done
}

[ $# -ge 2 ] || usage
cmd=$1
work=$2
case "$cmd" in
start) start_server "$work" "${3:-}" ;;
stop)
    [ -d "$work" ] || exit 0
    work=$(cd "$work" && pwd)
    stop_server "$(server_dir "$work")"
    drop_server_dir "$work"
    ;;
reset)
    [ $# -ge 3 ] || usage
    reset_mailbox "$(server_dir "$(cd "$work" && pwd)")" "$3" "${4:-}"
    ;;
kick)
    [ $# -ge 3 ] || usage
    kick_user "$(server_dir "$(cd "$work" && pwd)")" "$3"
    ;;
*) usage ;;
esac
