#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and unpacks the one the tests
# cannot install (courier-pop); does nothing when they are there.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-multimedia-dev libgmime-3.0-dev libssl-dev
  clang libfuzzer-14-dev libclang-rt-14-dev
  dovecot-core dovecot-pop3d openssl
  courier-base courier-authlib-userdb
  fonts-noto-cjk xvfb xauth qt6-translations-l10n
  mpop
  desktop-file-utils appstream systemd dpkg-dev file
  dbus-daemon python3-dbusmock
  python3 libqt6multimedia6 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Courier's POP3 server for tests/courier. Its package, courier-pop, conflicts with dovecot-pop3d
# (each is "the" pop3-server of the system), so it is unpacked into build/deps instead of installed;
# the rest of Courier comes with the packages above.
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
COURIER_POP=$ROOT/build/deps/courier-pop
if [ ! -x "$COURIER_POP/usr/lib/courier/courier/courierpop3login" ]; then
  echo "Unpacking courier-pop into $COURIER_POP"
  download=$(mktemp -d)
  trap 'rm -rf "$download"' EXIT
  if ! (cd "$download" && apt-get download -qq courier-pop 2>/dev/null); then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    (cd "$download" && apt-get download -qq courier-pop)
  fi
  mkdir -p "$COURIER_POP"
  dpkg-deb -x "$download"/courier-pop_*.deb "$COURIER_POP"
fi
