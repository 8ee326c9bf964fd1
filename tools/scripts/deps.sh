#!/usr/bin/env bash
# Installs the Debian packages of one use and does nothing when they are there.
#
#   deps.sh run          building and running the program (./run): compiler, CMake, Qt, GMime, fonts
#   deps.sh deb          the same and the tools that make and check the Debian packages (build-deb.sh):
#                        every build dependency of debian/control, debhelper, lintian, hardening-check
#   deps.sh test         the same and what the tests and benchmarks use (./test): clang and libFuzzer,
#                        Dovecot, Courier, mpop, Xvfb, the desktop files' validators, a D-Bus mock;
#                        Courier's POP3 programs are unpacked into build/deps
#   deps.sh list USE     prints the packages of USE, one a line, and installs nothing
#
# The tests start servers of their own on 127.0.0.1. The system services that the server packages
# bring are never left to a user's machine: the installation is kept from starting them, and
# "deps.sh test" disables and stops them whenever it finds them enabled or running.
set -euo pipefail

RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libqt6sql6-sqlite qt6-multimedia-dev libgmime-3.0-dev libssl-dev python3 vorbis-tools
  fonts-noto-cjk qt6-translations-l10n
  libqt6multimedia6 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)
# debhelper builds the packages, lintian and devscripts' hardening-check check them; the package's
# tests make certificates with openssl (tests/install/check_deps.sh holds this to debian/control).
DEB_PACKAGES=(dpkg-dev file debhelper lintian devscripts openssl)
# The mail servers the tests run privately; they never go into RUN_PACKAGES (tests/install checks).
SERVER_PACKAGES=(dovecot-core dovecot-pop3d courier-base courier-authlib-userdb)
TEST_PACKAGES=(
  clang libfuzzer-14-dev libclang-rt-14-dev
  "${SERVER_PACKAGES[@]}" openssl iproute2 mpop
  xvfb xauth desktop-file-utils appstream systemd
  openbox xdotool x11-utils imagemagick trayer
  dbus-daemon python3-dbusmock
)
# The system services of the server packages (init scripts and systemd units of the same names).
SERVER_SERVICES=(dovecot courier-authdaemon)
# The service names our policy-rc.d keeps from starting while apt-get runs.
SERVER_SERVICE_PATTERN='dovecot*|courier*'

POLICY=/usr/sbin/policy-rc.d
SAVED_POLICY=$POLICY.brindle-saved
POLICY_MARK="# Brindle deps.sh: no mail server starts during this installation"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

packages_of() {
  case $1 in
  run) printf '%s\n' "${RUN_PACKAGES[@]}" ;;
  deb) printf '%s\n' "${RUN_PACKAGES[@]}" "${DEB_PACKAGES[@]}" ;;
  test) printf '%s\n' "${RUN_PACKAGES[@]}" "${DEB_PACKAGES[@]}" "${TEST_PACKAGES[@]}" ;;
  *)
    echo "usage: deps.sh run|deb|test | deps.sh list run|deb|test" >&2
    exit 1
    ;;
  esac
}

# Puts our policy-rc.d in place for one apt-get call; restore_policy puts back what was there.
hold_servers() {
  # A policy left by an interrupted earlier run is ours; the saved one beside it is the original.
  if [ -f "$SAVED_POLICY" ] && grep -qF "$POLICY_MARK" "$POLICY" 2>/dev/null; then
    restore_policy
  fi
  [ ! -e "$POLICY" ] || $SUDO mv "$POLICY" "$SAVED_POLICY"
  # Denies the servers' start (101); asks the saved policy, if any, about every other service.
  printf '#!/bin/sh\n%s\nfor a in "$@"; do case $a in %s) exit 101 ;; esac; done\n[ ! -x %s ] || exec %s "$@"\nexit 0\n' \
    "$POLICY_MARK" "$SERVER_SERVICE_PATTERN" "$SAVED_POLICY" "$SAVED_POLICY" | $SUDO tee "$POLICY" >/dev/null
  $SUDO chmod 0755 "$POLICY"
}

restore_policy() {
  grep -qF "$POLICY_MARK" "$POLICY" 2>/dev/null || return 0
  $SUDO rm -f "$POLICY"
  [ ! -e "$SAVED_POLICY" ] || $SUDO mv "$SAVED_POLICY" "$POLICY"
}

install_missing() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  hold_servers
  trap restore_policy EXIT
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
  restore_policy
  trap - EXIT
}

# Disables and stops the servers' system services: with systemctl where systemd runs, else through
# their init scripts (a container has no systemd; the unit links are removed all the same).
quiet_servers() {
  local s unit
  for s in "${SERVER_SERVICES[@]}"; do
    if [ -d /run/systemd/system ]; then
      for unit in "$s.service" "$s.socket"; do
        systemctl cat "$unit" >/dev/null 2>&1 || continue
        if systemctl is-enabled --quiet "$unit" 2>/dev/null || systemctl is-active --quiet "$unit"; then
          echo "Disabling and stopping the system service $unit (the tests run their own servers)"
          $SUDO systemctl disable --now --quiet "$unit"
        fi
      done
      continue
    fi
    for unit in "$s.service" "$s.socket"; do
      if [ -e "/lib/systemd/system/$unit" ] && [ "$(systemctl is-enabled "$unit" 2>/dev/null)" = enabled ]; then
        echo "Disabling the system service $unit (the tests run their own servers)"
        $SUDO systemctl disable --quiet "$unit"
      fi
    done
    [ -x "/etc/init.d/$s" ] || continue
    if compgen -G "/etc/rc[2345].d/S??$s" >/dev/null; then
      echo "Disabling the init script $s (the tests run their own servers)"
      $SUDO update-rc.d "$s" disable >/dev/null 2>&1
    fi
    if "/etc/init.d/$s" status >/dev/null 2>&1; then
      echo "Stopping the system service $s (the tests run their own servers)"
      $SUDO "/etc/init.d/$s" stop >/dev/null
    fi
  done
}

# Courier's POP3 server for tests/courier. Its package, courier-pop, conflicts with dovecot-pop3d
# (each is "the" pop3-server of the system), so it is unpacked into build/deps instead of installed;
# the rest of Courier comes with the packages above. Unpacked, it is no service.
unpack_courier_pop() {
  local pop=$ROOT/build/deps/courier-pop download
  [ ! -x "$pop/usr/lib/courier/courier/courierpop3login" ] || return 0
  echo "Unpacking courier-pop into $pop"
  download=$(mktemp -d)
  if ! (cd "$download" && apt-get download -qq courier-pop 2>/dev/null); then
    $SUDO apt-get update -qq
    (cd "$download" && apt-get download -qq courier-pop)
  fi
  mkdir -p "$pop"
  dpkg-deb -x "$download"/courier-pop_*.deb "$pop"
  rm -rf "$download"
}

# Sourced (tests/install/check_policy.sh): the functions only.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

if [ "${1:-}" = list ]; then
  packages_of "${2:-}"
  exit 0
fi
use=${1:-}
packages_of "$use" >/dev/null
mapfile -t wanted < <(packages_of "$use")
install_missing "${wanted[@]}"
if [ "$use" = test ]; then
  quiet_servers
  unpack_courier_pop
fi
