#!/usr/bin/env bash
# Installs what is missing, builds the release tree in build/ and runs the
# main job: the ducking engine over an example recording the project makes
# itself (floor programme on the first pair, speech-like voice-over on the
# second), written to build/example/ducked.wav.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh build
mkdir -p build/example
./build/bin/quellvox-example build/example/in4.wav
./build/bin/quellvox-render --line 1:Stereo#2:Stereo#1 --gain-log build/example/gains.csv \
  build/example/in4.wav build/example/ducked.wav
