#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; does nothing when they are there.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-multimedia-dev libgmime-3.0-dev libssl-dev
  clang libfuzzer-14-dev libclang-rt-14-dev
  dovecot-core dovecot-pop3d openssl
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
