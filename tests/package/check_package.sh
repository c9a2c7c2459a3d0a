#!/usr/bin/env bash
# Checks a Debian package of Quellvox without installing it:
#   check_package.sh DEB SOURCE_DIR BUILD_DIR PROGRAM...
# its control fields (computed runtime dependencies), its contents (the
# PROGRAMs in /usr/bin, the desktop entry and the icon it names, the README,
# the service's unit),
# that no file carries a path of the source or build tree and no program a
# run path, and that the packaged demo runs from the unpacked tree alone.
set -uo pipefail
deb=$1 src=$2 bld=$3
shift 3
programs=("$@")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$deb" ] || { echo "FAIL: no package at $deb"; exit 1; }
work=$(mktemp -d /tmp/quellvox-package-check-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb cannot unpack $deb"; exit 1; }

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = quellvox ] || fail "the package is not named quellvox"
depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed -E 's/ *\([^)]*\)//g; s/, */\n/g' <<<"$depends")
for lib in libc6 libstdc++6 libsqlite3-0 libsndfile1 libqt6gui6 qt6-qpa-plugins; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
# Computed entries carry the minimum versions dpkg-shlibdeps found.
grep -Eq "libc6 \(>= [0-9]" <<<"$depends" || fail "Depends was not computed (no version on libc6): $depends"

# Contents.
for p in "${programs[@]}"; do
  [ -x "$root/usr/bin/$p" ] || fail "no program /usr/bin/$p"
done
for f in $(cd "$root/usr/bin" && ls); do
  printf '%s\n' "${programs[@]}" | grep -qx "$f" || fail "unexpected program /usr/bin/$f"
done
# The desktop entry and the icons come with the tray program.
desktop=$root/usr/share/applications/quellvox.desktop
if ! printf '%s\n' "${programs[@]}" | grep -qx quellvox; then
  [ ! -e "$desktop" ] || fail "a desktop entry without the tray program"
elif [ -f "$desktop" ]; then
  exec_line=$(grep -E '^Exec=' "$desktop" | head -1)
  exec_program=${exec_line#Exec=}
  exec_program=${exec_program%% *}
  [ -x "$root/usr/bin/$exec_program" ] || fail "the desktop entry starts \"$exec_program\", which the package lacks"
  icon=$(grep -E '^Icon=' "$desktop" | head -1)
  icon=${icon#Icon=}
  found=$(find "$root/usr/share/icons/hicolor" -path "*/apps/$icon.png" 2>/dev/null | wc -l)
  [ "$found" -ge 4 ] || fail "the icon \"$icon\" is in $found hicolor sizes, fewer than 4"
  for size_dir in "$root"/usr/share/icons/hicolor/*x*; do
    [ -d "$size_dir" ] || continue
    size=${size_dir##*/}
    png=$size_dir/apps/$icon.png
    [ -f "$png" ] || continue
    head -c 24 "$png" | od -An -tx1 | tr -d ' \n' | grep -q '^89504e470d0a1a0a' || fail "$png is not a PNG"
    w=$((16#$(head -c 20 "$png" | tail -c 4 | od -An -tx1 | tr -d ' \n')))
    [ "$size" = "${w}x${w}" ] || fail "$png is ${w} pixels wide, in the folder $size"
  done
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
  fi
else
  fail "no desktop entry /usr/share/applications/quellvox.desktop"
fi
[ -f "$root/usr/share/doc/quellvox/README.md" ] || fail "no README in /usr/share/doc/quellvox"

# The service comes with its unit, which starts the packaged program and
# speaks the notification protocol.
unit=$root/usr/lib/systemd/user/quellvox@.service
if printf '%s\n' "${programs[@]}" | grep -qx quellvoxd; then
  if [ -f "$unit" ]; then
    exec_start=$(grep -E '^ExecStart=' "$unit" | head -1)
    exec_start=${exec_start#ExecStart=}
    exec_start=${exec_start%% *}
    [ "$exec_start" = /usr/bin/quellvoxd ] || fail "the unit starts \"$exec_start\", not /usr/bin/quellvoxd"
    grep -qx 'Type=notify' "$unit" || fail "the unit is not of Type=notify"
    grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart on failure"
  else
    fail "no unit /usr/lib/systemd/user/quellvox@.service"
  fi
  # The packaged service runs without a display, waits on an empty store
  # and ends with 0 on SIGTERM.
  mkdir -p "$work/svc-home"
  (cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work/svc-home" XDG_CONFIG_HOME="$work/svc-home/config" \
      timeout --preserve-status -s TERM 2 "$root/usr/bin/quellvoxd" "#package-check-$$" >"$work/svc.txt" 2>&1)
  code=$?
  [ "$code" -eq 0 ] || fail "the packaged service ended with $code: $(tail -3 "$work/svc.txt")"
  grep -q "::Service waiting - " "$work/svc.txt" || fail "the packaged service did not wait: $(tail -3 "$work/svc.txt")"
elif [ -e "$unit" ]; then
  fail "a unit without the service"
fi

# Nothing of the trees it was built from.
for tree in "$src" "$bld"; do
  tree=$(cd "$tree" && pwd -P)
  hits=$(grep -rlF -- "$tree" "$root" 2>/dev/null)
  [ -z "$hits" ] || fail "files carry the path $tree: $hits"
done
# The real-media module, where the programs look for it (lib/quellvox
# beside bin/), complete in itself.
module=$root/usr/lib/quellvox/quellvox-real-media.so
if [ -f "$module" ]; then
  undefined=$(ldd -r "$module" 2>&1 | grep -c 'undefined symbol' || true)
  [ "$undefined" -eq 0 ] || fail "the real-media module has $undefined undefined symbols"
else
  fail "no real-media module /usr/lib/quellvox/quellvox-real-media.so"
fi
for f in "$root"/usr/bin/* "$module"; do
  if readelf -d "$f" 2>/dev/null | grep -Eq 'RPATH|RUNPATH'; then fail "$f has a run path"; fi
done

# The packaged demo runs on its own, its store and files in a folder of its
# own, with neither display nor the build tree.
if printf '%s\n' "${programs[@]}" | grep -qx quellvox-demo; then
  mkdir -p "$work/home"
  (cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work/home" "$root/usr/bin/quellvox-demo" --seconds 2 \
      --out "$work/demo" >"$work/demo.txt" 2>&1)
  code=$?
  # 0 and 1 are verdicts (a loaded machine may miss frames); 2 and 3 mean it could not run.
  [ "$code" -eq 0 ] || [ "$code" -eq 1 ] || fail "the packaged demo ended with $code: $(tail -3 "$work/demo.txt")"
  grep -q '^quellvox-demo: \(GOOD\|BAD\) - ' "$work/demo.txt" || fail "the packaged demo gave no verdict"
  [ -f "$work/demo/engine-1.png" ] || fail "the packaged demo wrote no picture"
  [ ! -e "$work/home/.config" ] || fail "the packaged demo touched the user's store"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) in $deb"
  exit 1
fi
echo "package $deb: good"
