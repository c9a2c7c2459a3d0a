#!/usr/bin/env bash
# Installs what is missing, builds the release tree in build/ and runs the
# main job: the demo relays the virtual studio's capture into both title
# engines for 20 seconds with two voice-over lines ducking the floor, then
# writes each engine's program audio, report and picture into build/demo and
# prints its verdict. After it, the offline renderer's example: the ducking
# engine over a recording the project makes itself (build/example).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh build
./build/bin/quellvox-demo --out build/demo
mkdir -p build/example
./build/bin/quellvox-example build/example/in4.wav
./build/bin/quellvox-render --line 1:Stereo#2:Stereo#1 --gain-log build/example/gains.csv \
  build/example/in4.wav build/example/ducked.wav
