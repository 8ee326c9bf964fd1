#!/usr/bin/env bash
# Makes the screenshots of the main window and of the mailbox preview 受信箱を見る: the desktop
# program of a build runs on its own X server (Xvfb) under openbox, on the demo mailbox served by
# demo-pop3d on 127.0.0.1, in a portable application folder made in a temporary folder. The
# pictures are written small (stripped, an 8-bit palette).
#
# Usage: tools/scripts/screenshots.sh [<build-dir> [<out-dir>]]
#        (default: build/test and assets/screenshots)
# Needs Xvfb, openbox, xdotool, xwininfo and ImageMagick's import and convert (deps.sh test).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/test}" && pwd)
OUT=${2:-$ROOT/assets/screenshots}
PROGRAM="$BUILD/app/brindle"
SERVER="$BUILD/tools/demo-pop3d/demo-pop3d"
# How long the demo server serves at most: bounds a server whose script was killed.
SERVER_SECONDS=300
# How many tenths of a second a window or the server may take to appear.
WAIT_TENTHS=300
# Colours of the pictures' palette: the windows' flat colours and anti-aliased text fit in it.
PALETTE=128

for tool in Xvfb openbox xdotool xwininfo import convert; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (tools/scripts/deps.sh test)" >&2; exit 1; }
done
for f in "$PROGRAM" "$SERVER"; do
  [ -x "$f" ] || { echo "screenshots: $f is missing (build it first)" >&2; exit 1; }
done
mkdir -p "$OUT"

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Waits for a command to succeed, printing its output.
until_ok() {
  local out
  for _ in $(seq 1 "$WAIT_TENTHS"); do
    if out=$("$@" 2>/dev/null) && [ -n "$out" ]; then
      echo "$out"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# The portable application folder: program, help, pictures, the demo settings; no music.
APP="$WORK/app"
mkdir -p "$APP/画像データ" "$APP/添付フォルダ"
cp "$PROGRAM" "$APP/brindle"
cp -a "$ROOT/assets/appfolder/." "$APP/"
cp "$BUILD"/art/画像データ/*.jpg "$APP/画像データ/"
cp -a "$ROOT/assets/demo/appfolder-settings/." "$APP/"
LC_ALL=C sed -i 's/^\[EXEINI\]\r$/[EXEINI]\r\nBGM=0\r/' "$APP/★MailData/ini.ini"

"$SERVER" --mails "$ROOT/assets/demo/mails" --user demo --pass demo --seconds "$SERVER_SECONDS" \
  >"$WORK/server.out" 2>&1 &
PIDS+=($!)
PORT=$(until_ok sed -n 's/^port: \([0-9]*\)$/\1/p' "$WORK/server.out") ||
  { echo "screenshots: the demo server did not start" >&2; cat "$WORK/server.out" >&2; exit 1; }
printf 'SMTP=\r\nPOP3=127.0.0.1:%s\r\nMAIL=you@example.jp\r\nAPOP=0\r\n' "$PORT" > "$APP/kestro.ini"

export DISPLAY=":$((90 + RANDOM % 400))"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
until_ok xwininfo -root >/dev/null || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
openbox >"$WORK/openbox.log" 2>&1 &
PIDS+=($!)
until_ok xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null || { echo "screenshots: openbox did not start" >&2; exit 1; }
unset QT_QPA_PLATFORM
HOME="$WORK" "$APP/brindle" >"$WORK/brindle.log" 2>&1 &
PIDS+=($!)

window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
# Writes one window's picture, a second after it appeared, stripped and in a palette.
shoot() {
  sleep 1
  import -window "$1" "$WORK/shot.png"
  convert "$WORK/shot.png" -strip -colors "$PALETTE" -define png:compression-level=9 "PNG8:$OUT/$2"
  echo "$OUT/$2: $(stat -c %s "$OUT/$2") bytes"
}

MAIN=$(until_ok window '迷惑メール撃退ツール') ||
  { echo "screenshots: the main window did not appear" >&2; cat "$WORK/brindle.log" >&2; exit 1; }
shoot "$MAIN" main-window.png

# ファイル > 受信箱を見る from the keyboard: the menu opens on its first entry, メールチェック;
# two steps down (the separator is skipped) is 受信箱を見る.
xdotool windowactivate --sync "$MAIN" key --delay 200 alt+f Down Down Return
PREVIEW=$(until_ok window '^受信箱を見る') ||
  { echo "screenshots: the preview did not appear" >&2; cat "$WORK/brindle.log" >&2; exit 1; }
# The preview reads the mailbox after it opens; a few seconds let its rows fill in.
sleep 4
shoot "$PREVIEW" preview.png
