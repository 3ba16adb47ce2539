#!/usr/bin/env bash
# Installs what the build and the tests need, and only what is missing. Safe to run again.
# Recommended packages come too: Wine draws with the X libraries it only recommends.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils imagemagick fvwm
  libusb-1.0-0-dev umockdev libumockdev-dev
  libcli11-dev nlohmann-json3-dev tmux
  clang libclang-rt-14-dev clang-format-14
  tshark
  help2man dpkg-dev lintian osslsigncode openssl diffoscope-minimal
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything needed is installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether ordinary users may capture; the tests only read captures: no.
if [[ " ${missing[*]} " == *" tshark "* ]]; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
fi
$SUDO apt-get update -qq < /dev/null
$SUDO apt-get install -y -qq "${missing[@]}" < /dev/null
