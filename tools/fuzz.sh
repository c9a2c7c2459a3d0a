#!/usr/bin/env bash
# Builds the fuzz targets in their own clang tree (build-fuzz) and runs each
# for a while: tools/fuzz.sh [SECONDS [TARGET...]]
#   SECONDS  how long each target runs (default 30; 0 only builds)
#   TARGET   studio_description, line_text, instance_id, reg_arguments,
#            render_options (default: all)
# Each target starts from its seed corpus in fuzz/corpus/<target>/ and keeps
# what it finds new in build-fuzz/corpus/<target>/, so a later run goes on
# from there. A crash, a leak, a hang over 10 s or an allocation over 2 GB
# stops the run with the input saved as build-fuzz/artifacts/<target>-*.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(studio_description line_text instance_id reg_arguments render_options control_request)

dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELLVOX_FUZZ=ON -DQUELLVOX_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_targets
[ "$seconds" -gt 0 ] || exit 0

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/artifacts"
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t"
  echo "fuzz: $t for ${seconds} s"
  # -close_fd_mask=3: the programs' own output would drown the fuzzer's.
  "$dir/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" "$dir/corpus/$t" "fuzz/corpus/$t"
done
