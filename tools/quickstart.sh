#!/usr/bin/env bash
# Installs what is missing, builds the release tree in build/ and runs the
# main job: the demo relays the virtual studio's capture into both title
# engines for 20 seconds with two voice-over lines ducking the floor, then
# writes each engine's program audio, report and picture into build/demo and
# prints its verdict. Then the offline renderer's example: the ducking
# engine over a recording the project makes itself (build/example). Ends
# with the demo's verdict and its exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh build
demo=0
./build/bin/quellvox-demo --out build/demo | tee build/demo.txt || demo=$?
mkdir -p build/example
./build/bin/quellvox-example build/example/in4.wav
./build/bin/quellvox-render --line 1:Stereo#2:Stereo#1 --gain-log build/example/gains.csv \
  build/example/in4.wav build/example/ducked.wav
echo
echo "The demo's files are in build/demo (engine-N.png, .wav, .json); its verdict:"
tail -n 1 build/demo.txt
exit "$demo"
