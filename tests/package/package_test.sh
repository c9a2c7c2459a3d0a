#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR PROGRAM...: makes the package of the
# build tree into a temporary folder and checks it.
set -euo pipefail
bld=$1 src=$2
shift 2
out=$(mktemp -d /tmp/quellvox-package-XXXXXX)
trap 'rm -rf "$out"' EXIT
cpack --config "$bld/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  exit 1
}
deb=$(ls "$out"/quellvox_*.deb)
bash "$src/tests/package/check_package.sh" "$deb" "$src" "$bld" "$@"
