#!/usr/bin/env bash
# Builds the Debian package: tools/package.sh [BUILD_DIR] (default build).
# Installs what is missing, builds the release tree, makes
# BUILD_DIR/package/quellvox_<version>_<arch>.deb with CPack (runtime
# dependencies computed by dpkg-shlibdeps) and checks it. Install it with
#   sudo apt-get install ./BUILD_DIR/package/quellvox_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
bash tools/install-deps.sh
bash tools/build.sh "$dir"
rm -rf "$dir/package"
cpack --config "$dir/CPackConfig.cmake" -G DEB -B "$dir/package" >"$dir/cpack.log" 2>&1 || {
  cat "$dir/cpack.log"
  exit 1
}
rm -rf "$dir/package/_CPack_Packages"
deb=$(ls "$dir"/package/quellvox_*.deb)
programs=$(dpkg-deb -c "$deb" | sed -nE 's|.* \./usr/bin/([^/]+)$|\1|p')
# shellcheck disable=SC2086
bash tests/package/check_package.sh "$deb" . "$dir" $programs
echo "$deb"
