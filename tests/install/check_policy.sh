#!/usr/bin/env bash
# deps.sh's policy-rc.d for an installation: it denies the mail servers' start, leaves every other
# service to the policy that was there (or allows it), and restore_policy puts that policy back
# unchanged, also after an interrupted run left ours in place.
# Usage: check_policy.sh <deps.sh>
set -euo pipefail
# shellcheck source=/dev/null
. "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
POLICY=$work/policy-rc.d
SAVED_POLICY=$POLICY.brindle-saved
# deps.sh's functions use it: no sudo for a policy in a temporary folder.
# shellcheck disable=SC2034
SUDO=""
status=0

answer() {
    local code=0
    "$POLICY" --quiet "$1" start || code=$?
    echo "$code"
}

# case: original policy ("" none), interrupted run first, then the answers for dovecot,
# courier-authdaemon and dbus while ours is in place
for case in "none|no|101 101 0" "deny-all|no|101 101 101" "deny-all|yes|101 101 101" "allow-all|no|101 101 0"; do
    IFS='|' read -r original interrupted want <<<"$case"
    rm -f "$POLICY" "$SAVED_POLICY"
    case $original in
    deny-all) printf '#!/bin/sh\nexit 101\n' >"$POLICY" ;;
    allow-all) printf '#!/bin/sh\nexit 0\n' >"$POLICY" ;;
    esac
    [ ! -e "$POLICY" ] || { chmod 0755 "$POLICY" && cp -p "$POLICY" "$work/original"; }
    [ "$interrupted" = no ] || hold_servers
    hold_servers
    got="$(answer dovecot) $(answer courier-authdaemon) $(answer dbus)"
    [ "$got" = "$want" ] || { echo "$case: answers $got" >&2; status=1; }
    restore_policy
    if [ "$original" = none ]; then
        [ ! -e "$POLICY" ] || { echo "$case: a policy was left" >&2; status=1; }
    else
        cmp -s "$POLICY" "$work/original" || { echo "$case: the original policy was not put back" >&2; status=1; }
    fi
    [ ! -e "$SAVED_POLICY" ] || { echo "$case: the saved copy was left" >&2; status=1; }
done
[ "$status" -ne 0 ] || echo "policy-rc.d: servers denied, the rest left to the original, which is put back"
exit $status
