#!/usr/bin/env bash
# The files a desktop installation adds, checked as the desktop's own tools check them, and
# brindle-check's --help against its man page.
# Usage: check_desktop_files.sh <configured desktop folder> <brindle-check>
set -euo pipefail
dir=$1
check=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

desktop-file-validate "$dir/jp.brindle.Brindle.desktop"
appstreamcli validate --no-net "$dir/jp.brindle.Brindle.metainfo.xml"

# The service names the installed program; here it names the one just built, which exists.
sed "s#^ExecStart=.*#ExecStart=$check#" "$dir/brindle-check.service" > "$work/brindle-check.service"
cp "$dir/brindle-check.timer" "$work/"
systemd-analyze verify --man=no "$work/brindle-check.service" "$work/brindle-check.timer"

# Every option of --help is in the man page, and the other way round.
"$check" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u > "$work/help"
sed 's/\\-/-/g' "$dir/brindle-check.1" | grep -oE -- '--[a-z][a-z-]*' | grep -vx -- '--user\|--now' | sort -u > "$work/man"
diff "$work/help" "$work/man"
grep -q "Brindle $("$check" --version | cut -d' ' -f2)" "$dir/brindle-check.1"
echo "desktop files valid; --help and the man page agree"
