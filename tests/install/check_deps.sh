#!/usr/bin/env bash
# What ./run installs holds no server: no package of deps.sh's run list is a mail server or brings
# a system service (an init script or a systemd unit of its own), and the test list holds all of it;
# the deb list holds every build dependency of the Debian source package.
# Usage: check_deps.sh <deps.sh> <debian/control>
set -euo pipefail
deps=$1
control=$2
# What a mail server's package provides in Debian.
SERVER_PROVIDES='mail-transport-agent|pop3-server|imap-server'
status=0
fail() { echo "check_deps: $*" >&2; status=1; }

mapfile -t run < <("$deps" list run)
mapfile -t test < <("$deps" list test)
[ ${#run[@]} -gt 0 ] || fail "the run list is empty"
for p in "${run[@]}"; do
    # A here-string, not a pipe: under pipefail, grep -q leaving early would fail the printf (SIGPIPE).
    grep -qxF "$p" <<<"$(printf '%s\n' "${test[@]}")" || fail "$p is in the run list but not in the test list"
    case $p in dovecot* | courier* | mpop | exim* | postfix* | sendmail*) fail "$p (a mail program) is in the run list" ;; esac
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        fail "$p is not installed, so its files cannot be checked: run tools/scripts/deps.sh test"
        continue
    fi
    ! dpkg-query -W -f='${Provides}\n' "$p" | grep -qwE "$SERVER_PROVIDES" || fail "$p provides a mail server"
    services=$(dpkg -L "$p" | grep -E '^/etc/init\.d/.|^(/usr)?/lib/systemd/system/.*\.(service|socket)$' || true)
    [ -z "$services" ] || fail "$p brings system services: $(tr '\n' ' ' <<<"$services")"
done
# Build-Depends: its lines up to the next field, without versions, qualifiers and alternatives
# after the first; debhelper-compat is debhelper's.
mapfile -t deb < <("$deps" list deb)
mapfile -t build_deps < <(sed -n '/^Build-Depends:/,/^[A-Z]/{/^Build-Depends:/{s/^[^:]*://;p;d};/^[A-Z]/d;p}' "$control" |
    tr ',' '\n' | sed -E 's/\|.*//; s/[[(<].*//; s/:any//; s/^ *//; s/ *$//; s/^debhelper-compat$/debhelper/' | grep -v '^$')
[ ${#build_deps[@]} -gt 0 ] || fail "no Build-Depends in $control"
for p in "${build_deps[@]}"; do
    grep -qxF "$p" <<<"$(printf '%s\n' "${deb[@]}")" || fail "$p is a build dependency in debian/control but not in the deb list"
done
[ "$status" -ne 0 ] || echo "the run list: ${#run[@]} packages, no server, no system service"
exit $status
