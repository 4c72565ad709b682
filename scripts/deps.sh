#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# when any is missing. Safe to run again.
set -euo pipefail
PKGS=(build-essential cmake g++ clang libclang-rt-14-dev pkg-config
      qt6-base-dev qt6-serialport-dev libgl-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev
      qt6-charts-dev libqt6opengl6-dev
      nlohmann-json3-dev libcpp-httplib-dev libmodbus-dev
      python3 xvfb xauth tinyproxy-bin util-linux
      libcurl4-openssl-dev libssl-dev zlib1g-dev openssl)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  echo "Installing: ${missing[*]}" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
