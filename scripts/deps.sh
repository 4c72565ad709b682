#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# when any is missing. Safe to run again.
set -euo pipefail
PKGS=(build-essential cmake g++ pkg-config
      qt6-base-dev qt6-serialport-dev libgl-dev  # the programs (Qt's GUI needs the GL headers)
      nlohmann-json3-dev libcpp-httplib-dev      # console boxes and receipts; kvr-sim's web service
      libgtest-dev python3 tinyproxy-bin         # unit tests; end-to-end tests (Heron's proxy)
      clang libclang-rt-14-dev                   # fuzzing (scripts/fuzz)
      libmodbus-dev                              # benchmarks' reference client (scripts/perf)
      help2man                                   # man pages from --help
      g++-mingw-w64-x86-64-posix                 # the core built for Windows (scripts/test)
      xvfb xauth trayer xdotool                  # window pictures (scripts/screenshots)
      qt6-charts-dev libqt6opengl6-dev           # the viewer's charts (Qt Charts' CMake files need the GL one)
      libcurl4-openssl-dev libssl-dev zlib1g-dev openssl)  # Heron's HTTP; https certificates in its tests
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
