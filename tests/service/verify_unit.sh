#!/usr/bin/env bash
# systemd-analyze verify on the service's template unit, as an instance
# ("#1" is quellvox@1.service). Any warning about the unit fails the test.
set -euo pipefail
analyze=$1
unit=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$unit" "$dir/quellvox@.service"
cd "$dir"
out=$("$analyze" verify --man=no "$dir/quellvox@1.service" 2>&1) || { echo "$out"; exit 1; }
if grep -i 'quellvox' <<<"$out"; then
  echo "systemd-analyze found problems in the unit"
  exit 1
fi
echo "unit verified"
