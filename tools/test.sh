#!/usr/bin/env bash
# Installs what is missing, builds the release tree in build/ and runs every
# test; exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh build
ctest --test-dir build --output-on-failure -j "$(nproc)"
