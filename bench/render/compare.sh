#!/usr/bin/env bash
# The offline renderer side by side with ffmpeg's side-chain compressor on
# the same 10-minute, 48 kHz, 4-channel recording (floor on channels 1-2,
# speech-like voice-over on 3-4), one voice-over line each. Prints both wall
# times (best of RUNS) and their ratio.
#
#   bash bench/render/compare.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR defaults to build (a release tree with build/bin/quellvox-render
# and quellvox-example); ffmpeg must be on the PATH.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build}" && pwd)
runs=${2:-3}
command -v ffmpeg >/dev/null || { echo "compare.sh: ffmpeg is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/bin/quellvox-example" --seconds 600 in4.wav >/dev/null
cat in4.wav >/dev/null  # both read it from the page cache

# Best wall time of $runs runs of the command, in seconds. Each run writes
# a new out.wav: the old one is removed before the clock starts, so that
# freeing a replaced 230 MB file is not counted against the renderer.
best() {
  local best_time=""
  for _ in $(seq "$runs"); do
    local start end t
    rm -f out.wav
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    t=$(echo "$end - $start" | bc -l)
    if [ -z "$best_time" ] || [ "$(echo "$t < $best_time" | bc -l)" = 1 ]; then best_time=$t; fi
  done
  echo "$best_time"
}

render_time=$(best "$build/bin/quellvox-render" --line 1:Stereo#2:Stereo#1 in4.wav out.wav)
ffmpeg_time=$(best ffmpeg -nostdin -loglevel error -y -i in4.wav -filter_complex "[0:a]channelsplit=channel_layout=4.0[FL][FR][FC][LFE];[FL][FR]amerge=inputs=2[floor];[FC][LFE]amerge=inputs=2[voice];[voice]asplit=2[sc][vmix];[floor][sc]sidechaincompress=threshold=0.025:ratio=20:attack=20:release=500[ducked];[ducked][vmix]amix=inputs=2:normalize=0[out]" -map "[out]" -f null -)

printf 'quellvox-render: %.3f s wall\n' "$render_time"
printf 'ffmpeg sidechaincompress: %.3f s wall\n' "$ffmpeg_time"
printf 'ratio (ffmpeg / quellvox-render): %.1f\n' "$(echo "$ffmpeg_time / $render_time" | bc -l)"
