#!/usr/bin/env bash
# Shows Brindle at work on a demo mailbox: copies the installed application folder to
# <dist>/Brindle-demo (fresh each time), puts the demo settings and keywords in it, starts a small
# POP3 server on 127.0.0.1 with a dozen sample mails, and then runs brindle-check against it, rule by
# rule, or with --windows opens the desktop program on it. The server is stopped at the end, or when
# the windows close.
#
# Usage: tools/scripts/demo.sh [--windows] [<build-dir> <dist-dir>]
#        (default: build/release and dist, where ./run builds and installs)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
GUI=0
if [ "${1:-}" = --windows ]; then
  GUI=1
  shift
fi
BUILD=$(cd "${1:-$ROOT/build/release}" && pwd)
DIST=$(cd "${2:-$ROOT/dist}" && pwd)
SOURCE="$DIST/Brindle"
DEMO="$DIST/Brindle-demo"
SERVER="$BUILD/tools/demo-pop3d/demo-pop3d"
DATA="$DEMO/★MailData"
# How long the demo server serves at most: a check needs a minute; the windows stop it when they
# close, and this bounds a server whose script was killed.
CHECK_SECONDS=300
WINDOWS_SECONDS=28800

[ -x "$SOURCE/brindle-check" ] || { echo "demo: $SOURCE/brindle-check is missing (run ./run first)" >&2; exit 1; }
if [ "$GUI" = 1 ]; then
  [ -x "$SOURCE/brindle" ] || { echo "demo: $SOURCE/brindle is missing (run ./run first)" >&2; exit 1; }
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] ||
    { echo "demo: the windows need a desktop session (DISPLAY or WAYLAND_DISPLAY is not set)" >&2; exit 1; }
fi
[ -x "$SERVER" ] || { echo "demo: $SERVER is missing (build the target demo-pop3d)" >&2; exit 1; }

rm -rf "$DEMO"
cp -a "$SOURCE" "$DEMO"
cp -a "$ROOT/assets/demo/appfolder-settings/." "$DEMO/"
mkdir -p "$DATA" "$DEMO/添付フォルダ"

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
# Interrupted (Ctrl-C, a closed terminal): the server is stopped all the same.
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The mailbox: the committed samples and one large mail with a 1 MB attachment made here.
mkdir "$WORK/mails"
cp "$ROOT"/assets/demo/mails/*.eml "$WORK/mails/"
{
  printf 'From: Suzuki Kenta <kenta@example.jp>\r\nTo: you@example.jp\r\n'
  printf 'Subject: =?UTF-8?B?%s?=\r\n' "$(printf '旅行の写真を送ります' | base64 -w 0)"
  printf 'Date: Sun, 6 Dec 2026 11:00:00 +0900\r\nMIME-Version: 1.0\r\n'
  printf 'Content-Type: multipart/mixed; boundary="=_photos"\r\n\r\n'
  printf -- '--=_photos\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
  printf '先週の旅行の写真です。楽しかったですね！\r\n'
  printf -- '--=_photos\r\nContent-Type: image/jpeg; name="photos.jpg"\r\nContent-Transfer-Encoding: base64\r\n'
  printf 'Content-Disposition: attachment; filename="photos.jpg"\r\n\r\n'
  head -c 1048576 /dev/urandom | base64 -w 76 | sed 's/$/\r/'
  printf -- '--=_photos--\r\n'
} > "$WORK/mails/11-photos-large-utf8.eml"

if [ "$GUI" = 1 ]; then SECONDS_UP=$WINDOWS_SECONDS; else SECONDS_UP=$CHECK_SECONDS; fi
"$SERVER" --mails "$WORK/mails" --user demo --pass demo --seconds "$SECONDS_UP" > "$WORK/server.out" 2>&1 &
SERVER_PID=$!
PORT=""
for _ in $(seq 1 100); do
  PORT=$(sed -n 's/^port: \([0-9]*\)$/\1/p' "$WORK/server.out")
  [ -n "$PORT" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
[ -n "$PORT" ] || { echo "demo: the demo server did not start:" >&2; cat "$WORK/server.out" >&2; exit 1; }
printf 'SMTP=\r\nPOP3=127.0.0.1:%s\r\nMAIL=you@example.jp\r\nAPOP=0\r\n' "$PORT" > "$DEMO/kestro.ini"
echo "Demo mailbox: $(ls "$WORK/mails" | wc -l) mails on 127.0.0.1:$PORT (user demo, password demo)"
echo "Demo application folder: $DEMO"

set_rule() { LC_ALL=C sed -i "s/^NUMBER6=[0-9]*/NUMBER6=$1/" "$DATA/ini.ini"; }

if [ "$GUI" = 1 ]; then
  echo "Starting the desktop program; press メールチェック to check the demo mailbox."
  echo "The demo server stops when the windows close."
  "$DEMO/brindle" || true
  exit 0
fi

echo "Keywords: 未承認広告, 無料, casino, viagra; size limit: 500000 bytes"
status=0
for rule in 1 6 4 5; do
  case $rule in
    1) label="Keyword rule (subject, address, body)" ;;
    6) label="HTML rule (</HTML> or </html>)" ;;
    4) label="Size rule (500000 bytes or more)" ;;
    5) label="No-hiragana rule (no hiragana in the body)" ;;
  esac
  echo
  echo "== $label: what it would delete (--dry-run) =="
  set_rule "$rule"
  "$DEMO/brindle-check" --app-folder "$DEMO" --dry-run || status=$?
done
set_rule 1
echo
echo "== Keyword rule, for real: deletes on the server =="
"$DEMO/brindle-check" --app-folder "$DEMO" || status=$?
echo
echo "== The way back: each deleted mail's copy, and the deletion log =="
(cd "$DEMO/★MailData" && find quarantine -name '*.eml' | sort && cut -f 1-5 deleted.log)
echo
echo "== The next check finds only wanted mail left =="
"$DEMO/brindle-check" --app-folder "$DEMO" || status=$?
exit $status
