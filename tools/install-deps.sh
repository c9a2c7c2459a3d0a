#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, where they are missing:
# the toolchain and libraries, Qt 6 with its platform plugins (the tests run
# on the offscreen one), and the virtual desktop the program's process tests
# and tools/screenshots.sh drive (Xvfb, xdotool, trayer, ImageMagick).
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config git
          libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev libsndfile1-dev nlohmann-json3-dev
          qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
          xvfb xdotool trayer imagemagick x11-utils x11-xserver-utils
          libavformat-dev libavcodec-dev libavdevice-dev libavutil-dev libswscale-dev libswresample-dev
          clang libclang-rt-14-dev   # clang and its libFuzzer: tools/fuzz.sh
          libsystemd-dev systemd     # the service: sd_notify, systemd-analyze verify
          libcivetweb-dev prometheus-cpp-dev  # the remote interface: HTTP/WebSocket, metrics
          prometheus curl chromium   # its real clients in the tests: promtool, curl, a browser
          libebur128-dev ffmpeg      # loudness meters; ffmpeg's ebur128 filter checks them
          ccache)                    # rebuilds of several trees share one compiler cache

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
