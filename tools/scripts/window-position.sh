#!/usr/bin/env bash
# The main window under a real window manager keeps its place: runs the desktop program on its own
# X server (Xvfb) under openbox, clicks 小画面, 中画面 and 常に前面表示 ten times each, and after
# every click compares the window's frame and client corners (xwininfo, _NET_FRAME_EXTENTS) with
# those at the start. Prints every position; exits 0 when none moved, 1 when one did, 77 (skipped)
# when Xvfb, openbox, xdotool or xwininfo is missing.
#
# Usage: tools/scripts/window-position.sh <path to the brindle program> [screenshot folder]
set -uo pipefail
PROGRAM=$(readlink -f "${1:?usage: window-position.sh <brindle> [screenshot folder]}")
SHOTS=${2:-}
for tool in Xvfb openbox xdotool xwininfo xprop; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# Waits up to five seconds for a command to succeed.
until_ok() {
  for _ in $(seq 1 50); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# A portable application folder: the program beside its data folder, a server that is never
# asked (no check runs), no music.
APP="$WORK/app"
mkdir -p "$APP/★MailData"
cp "$PROGRAM" "$APP/brindle"
printf 'SMTP=\r\nPOP3=127.0.0.1:1\r\nMAIL=\r\nAPOP=0\r\n' > "$APP/kestro.ini"
printf '[EXEINI]\r\nBGM=0\r\n' > "$APP/★MailData/ini.ini"

export DISPLAY=":$((90 + RANDOM % 400))"
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
until_ok xwininfo -root || { echo "Xvfb did not start"; exit 1; }
openbox >"$WORK/openbox.log" 2>&1 &
PIDS+=($!)
until_ok xprop -root _NET_SUPPORTING_WM_CHECK || { echo "openbox did not start"; exit 1; }
unset QT_QPA_PLATFORM
HOME="$WORK" "$APP/brindle" >"$WORK/brindle.log" 2>&1 &
PIDS+=($!)
# The main window by its title: a window re-created by the toolkit comes back under a new id.
find_wid() { xdotool search --onlyvisible --name '迷惑メール撃退ツール' 2>/dev/null | head -1; }
WID=""
for _ in $(seq 1 300); do
  WID=$(find_wid)
  [ -n "$WID" ] && break
  sleep 0.1
done
[ -n "$WID" ] || { echo "the main window did not appear"; cat "$WORK/brindle.log"; exit 1; }

# "frameX frameY clientX clientY width height" of the main window.
where() {
  local info x y w h ext l t
  WID=$(find_wid)
  info=$(xwininfo -id "$WID")
  x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  w=$(sed -n 's/.*Width: *//p' <<<"$info")
  h=$(sed -n 's/.*Height: *//p' <<<"$info")
  ext=$(xprop -id "$WID" _NET_FRAME_EXTENTS | sed -n 's/.*= *//p' | tr -d ' ')
  l=${ext%%,*}
  t=$(cut -d, -f3 <<<"$ext")
  echo "$((x - ${l:-0})) $((y - ${t:-0})) $x $y $w $h"
}
# The position once it has stopped changing for three looks in a row.
settled() {
  local last="" now same=0
  for _ in $(seq 1 40); do
    now=$(where)
    if [ "$now" = "$last" ]; then same=$((same + 1)); [ $same -ge 2 ] && break; else same=0; fi
    last=$now
    sleep 0.1
  done
  echo "$last"
}

until_ok test -n "$(xprop -id "$WID" _NET_FRAME_EXTENTS | grep =)"
START=$(settled)
read -r FX FY CX CY _ <<<"$START"
echo "start: frame $FX,$FY client $CX,$CY size $(cut -d' ' -f5 <<<"$START")x$(cut -d' ' -f6 <<<"$START")"
# The menu bar's height, above the buttons' designed places.
MENU=${MENU:-22}
moved=0
shot=0
click() { # name x y: ten clicks on the button at client x,y (below the menu bar)
  local name=$1 i now
  for i in $(seq 1 10); do
    WID=$(find_wid)
    xdotool mousemove --window "$WID" "$2" $(($3 + MENU)) click 1
    sleep 0.2
    now=$(settled)
    read -r fx fy cx cy w h <<<"$now"
    printf '%-10s %2d: frame %s,%s client %s,%s size %sx%s\n' "$name" "$i" "$fx" "$fy" "$cx" "$cy" "$w" "$h"
    if [ "$fx" != "$FX" ] || [ "$fy" != "$FY" ] || [ "$cx" != "$CX" ] || [ "$cy" != "$CY" ]; then moved=1; fi
    # 常に前面表示 must still take effect: kept above on every odd click, not on the even ones.
    if [ "$name" = topmost ]; then
      above=0
      xprop -id "$WID" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE && above=1
      [ "$above" = $((i % 2)) ] || { echo "FAIL: kept above: $above after click $i"; moved=1; }
    fi
    if [ -n "$SHOTS" ] && [ "$i" -le 2 ] && command -v import >/dev/null; then
      shot=$((shot + 1))
      import -window root "$SHOTS/position-$shot-$name-$i.png"
    fi
  done
}
click small 50 36    # 小画面 / サイズ復帰
click medium 50 60   # 中画面 / サイズ復帰
click topmost 310 84 # 常に前面表示 / 前面表示解除
if [ "$moved" = 1 ]; then echo "FAIL: the window moved"; exit 1; fi
echo "PASS: frame and client stayed at $FX,$FY and $CX,$CY"
