#!/usr/bin/env bash
# Drives the real tray program on a virtual desktop (Xvfb with trayer as its
# notification area) as a user would, and takes the pictures of docs/: the
# icon with its tooltip while stopped and while running, the open menu in
# both states, the About box, and a sheet of every icon at the panel sizes.
#
#   bash tools/screenshots.sh [options]
#     --build DIR     the build tree with bin/quellvox (default build)
#     --out DIR       where the pictures go (default docs)
#     --id ID         the instance identifier (default #1)
#     --setup FILE    a bash file sourced after the instance's store is made
#                     complete; it may change it with "$reg" set "$key" ...
#     --dialogs       also open Settings... (stopped and running) and
#                     Log... (running) from the menu and shoot them
#     --keep          leave the virtual desktop running at the end and print
#                     how to reach it (DISPLAY, XDG_CONFIG_HOME)
#
# Other scripts may source this file with QV_SCREENSHOTS_LIBRARY=1 to reuse
# its functions (qv_start_desktop, qv_start_program, qv_menu_command,
# qv_shoot_window, qv_shoot_tray, qv_stop), for instance to shoot a dialog:
#
#   QV_SCREENSHOTS_LIBRARY=1 source tools/screenshots.sh
#   qv_start_desktop; qv_start_program
#   qv_menu_command Settings... ; qv_shoot_window "Quellvox #1 Settings" docs/settings.png
#   qv_stop
set -euo pipefail

qv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_BUILD=${QV_BUILD:-$qv_root/build}
QV_OUT=${QV_OUT:-$qv_root/docs}
QV_ID=${QV_ID:-#1}
QV_SETUP=${QV_SETUP:-}
QV_SCREEN=${QV_SCREEN:-1024x640}

# What the pictures need, from Debian's packages.
qv_install_tools() {
  local missing=() p
  for p in xvfb xdotool trayer imagemagick x11-utils x11-xserver-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

qv_pids=()
qv_tmp=""
qv_program_pid=""

# A virtual screen with a notification area at the bottom right and an
# instance store of its own, complete for the default virtual studio.
qv_start_desktop() {
  qv_tmp=$(mktemp -d /tmp/quellvox-shots-XXXXXX)
  export XDG_CONFIG_HOME=$qv_tmp/config XDG_RUNTIME_DIR=$qv_tmp/runtime
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  local fifo=$qv_tmp/display
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "${QV_SCREEN}x24" -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
  qv_pids+=($!)
  local display
  read -r display <"$fifo"
  export DISPLAY=:$display QT_QPA_PLATFORM=xcb
  # A plain desktop background, so that the pictures look like a screen.
  xsetroot -solid '#3b4a5a' 2>/dev/null || true
  trayer --edge bottom --align right --widthtype request --height 28 --heighttype pixel \
    --SetDockType true --transparent false --tint 0x2b2b2b --iconspacing 4 --padding 4 >/dev/null 2>&1 &
  qv_pids+=($!)
  xdotool search --sync --name '^panel$' >/dev/null
  qv_make_instance
}

qv_make_instance() {
  reg=$QV_BUILD/bin/quellvox-reg
  key="Quellvox\\$QV_ID"
  "$reg" set "$key" CaptureSource --string 'Quellvox Virtual Capture 1' >/dev/null
  "$reg" set "$key" DelayInFrames --dword 10 >/dev/null
  "$reg" set "$key" RegionName --string 'Voice over' >/dev/null
  "$reg" set "$key" TitleEngineCnt --dword 1 >/dev/null
  "$reg" set "$key" TitleEngine1 --string 'Engine 1' >/dev/null
  local n
  for n in 1 2 3 4 5 6 7 8; do
    "$reg" set "$key" UseLine$n --dword $((n == 1)) >/dev/null
    "$reg" set "$key" From4Line$n --string "Stereo#$((n + 1))" >/dev/null
    "$reg" set "$key" To4Line$n --string 'Stereo#1' >/dev/null
  done
  "$reg" set "$key" UseCommon --dword 1 >/dev/null
  "$reg" set "$key" CommonLine --string 'Stereo#1' >/dev/null
  "$reg" set "$key" DecreaseDB --dword 18 >/dev/null
  "$reg" set "$key" NoiseLevelDB --dword 32 >/dev/null
  "$reg" set "$key" TimeoutInFrames --dword 30 >/dev/null
  "$reg" set "$key" AutoStart --dword 0 >/dev/null
  if [ -n "$QV_SETUP" ]; then
    # shellcheck disable=SC1090
    source "$QV_SETUP"
  fi
}

# The icon's window in the notification area, once Qt has embedded it.
qv_icon_window() {
  local w
  for _ in $(seq 100); do
    for w in $(xdotool search --classname '^quellvox$' 2>/dev/null); do
      if [ "$(xwininfo -id "$w" | awk '/Map State/ {print $3}')" = IsViewable ] &&
        [ "$(xwininfo -id "$w" | awk '/Width:/ {print $2}')" -le 64 ]; then
        echo "$w"
        return 0
      fi
    done
    sleep 0.1
  done
  echo "no icon appeared in the notification area" >&2
  return 1
}

qv_start_program() {
  "$QV_BUILD/bin/quellvox" "$QV_ID" 2>"$qv_tmp/traces.txt" &
  qv_program_pid=$!
  qv_icon=$(qv_icon_window)
  qv_icon_center
}

# Centre of the icon on the screen, into qv_x and qv_y.
qv_icon_center() {
  eval "$(xdotool getwindowgeometry --shell "$qv_icon")"
  qv_x=$((X + WIDTH / 2))
  qv_y=$((Y + HEIGHT / 2))
}

# Hovers over the icon until its tooltip shows.
qv_hover() {
  xdotool mousemove $((qv_x - 300)) $((qv_y - 300))
  sleep 0.5
  xdotool mousemove $((qv_x - 2)) $((qv_y - 2))
  sleep 0.2
  xdotool mousemove "$qv_x" "$qv_y"
  sleep 1.8
}

qv_open_menu() {
  xdotool mousemove "$qv_x" "$qv_y" click 3
  xdotool search --sync --onlyvisible --classname '^quellvox$' >/dev/null
  sleep 0.6
}

qv_close_menu() {
  xdotool key Escape
  sleep 0.4
}

# Opens the menu and chooses the item with the text `$1` (as shown, without
# the "&"), as a user would with the keyboard.
qv_menu_command() {
  qv_open_menu
  qv_menu_keys "$1"
}

# Moves through the enabled items from the first one until `$1` is active
# and chooses it (disabled items and separators are skipped by the menu).
qv_menu_keys() {
  local wanted=$1 running enabled
  running=$(qv_running)
  if [ "$running" = 1 ]; then
    enabled=(Stop Restart Log... Settings... About... Exit)
  else
    enabled=(Start Settings... About... Exit)
  fi
  local i
  for i in "${!enabled[@]}"; do
    if [ "${enabled[$i]}" = "$wanted" ]; then
      # The first Down makes the first enabled item active.
      local k
      for ((k = 0; k <= i; k++)); do xdotool key Down; done
      sleep 0.3
      xdotool key Return
      sleep 0.5
      return 0
    fi
  done
  echo "menu item $wanted is not enabled" >&2
  qv_close_menu
  return 1
}

# 1 when the pipeline runs, from the traces the program wrote.
qv_running() {
  local last
  last=$(grep -oE 'Menu File->(Start|Stop|Restart)' "$qv_tmp/traces.txt" | tail -1 || true)
  case "$last" in
    *Start | *Restart) echo 1 ;;
    *) echo 0 ;;
  esac
}

# The bottom-right corner of the screen, where the icon, its tooltip and its
# menu are: `$1` the file, `$2` the size (WxH).
qv_shoot_tray() {
  local file=$1 size=${2:-300x260}
  local w=${size%x*} h=${size#*x} sw=${QV_SCREEN%x*} sh=${QV_SCREEN#*x}
  import -window root -crop "${w}x${h}+$((sw - w))+$((sh - h))" +repage "$file"
  echo "wrote $file"
}

# A window of the program by its title: `$1` the title, `$2` the file.
qv_shoot_window() {
  local window
  window=$(xdotool search --sync --onlyvisible --name "^$1\$" | head -1)
  sleep 0.5
  import -window "$window" "$2"
  echo "wrote $2"
}

# Every icon the program draws, at the sizes of the notification area
# (16, 22, 24 and 32 pixels), on a light and on a dark panel: `$1` the file.
qv_icon_sheet() {
  local dir=$qv_tmp/icons
  "$QV_BUILD/bin/quellvox-icons" "$dir"
  local names=(not-initialized start-recording running stop-recording stopped error)
  local rows=() size bg n
  for bg in '#dcdad5' '#2b2b2b'; do
    for size in 16 22 24 32; do
      local cells=()
      for n in "${names[@]}"; do cells+=("(" "$dir/$size/quellvox-$n.png" -background "$bg" -gravity center -extent 40x40 ")"); done
      convert "${cells[@]}" +append "$dir/row-$size-${bg#\#}.png"
      rows+=("$dir/row-$size-${bg#\#}.png")
    done
  done
  convert "${rows[@]}" -append "$dir/rows.png"
  # Scaled up without smoothing, so that every pixel of the small sizes shows.
  convert "$dir/rows.png" -filter point -resize 200% "$1"
  echo "wrote $1"
}

qv_stop() {
  if [ -n "$qv_program_pid" ] && kill -0 "$qv_program_pid" 2>/dev/null; then
    kill -TERM "$qv_program_pid" 2>/dev/null || true
    wait "$qv_program_pid" 2>/dev/null || true
  fi
  local p
  for p in "${qv_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${qv_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "$qv_tmp" ] && rm -rf "$qv_tmp"
  qv_pids=()
  qv_tmp=""
}

[ "${QV_SCREENSHOTS_LIBRARY:-0}" = 1 ] && return 0

dialogs=0
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) QV_BUILD=$(cd "$2" && pwd); shift 2 ;;
    --out) QV_OUT=$2; shift 2 ;;
    --id) QV_ID=$2; shift 2 ;;
    --setup) QV_SETUP=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --dialogs) dialogs=1; shift ;;
    --keep) keep=1; shift ;;
    *) echo "screenshots.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

qv_install_tools
mkdir -p "$QV_OUT"
QV_OUT=$(cd "$QV_OUT" && pwd)
[ -x "$QV_BUILD/bin/quellvox" ] || { echo "no $QV_BUILD/bin/quellvox: build first" >&2; exit 2; }
trap '[ $keep = 1 ] || qv_stop' EXIT

qv_start_desktop
qv_icon_sheet "$QV_OUT/icons.png"
qv_start_program

qv_hover
qv_shoot_tray "$QV_OUT/tray-stopped.png"
qv_open_menu
qv_shoot_tray "$QV_OUT/menu-stopped.png"
qv_close_menu

# A double-click on the icon carries out the default command, Start.
xdotool mousemove "$qv_x" "$qv_y" click --repeat 2 --delay 60 1
grep -q 'Menu File->Start' <(sleep 2; cat "$qv_tmp/traces.txt") || { echo "the double-click did not start" >&2; exit 1; }
qv_hover
qv_shoot_tray "$QV_OUT/tray-running.png"
qv_open_menu
qv_shoot_tray "$QV_OUT/menu-running.png"
qv_close_menu

qv_menu_command About...
qv_shoot_window "About Quellvox" "$QV_OUT/about.png"
xdotool key Return
sleep 0.3

if [ $dialogs = 1 ]; then
  qv_menu_command Log...
  sleep 1.2
  qv_shoot_window "Quellvox $QV_ID Statistics" "$QV_OUT/statistics.png"
  xdotool key Escape
  qv_menu_command Settings...
  qv_shoot_window "Quellvox $QV_ID Settings" "$QV_OUT/settings-running.png"
  xdotool key Escape
  qv_menu_command Stop
  qv_menu_command Settings...
  qv_shoot_window "Quellvox $QV_ID Settings" "$QV_OUT/settings.png"
  xdotool key Escape
fi

# Exit from the menu: the icon leaves the notification area and the
# program ends with code 0.
qv_menu_command Exit
wait "$qv_program_pid"
echo "quellvox ended with code $?"
if [ $keep = 1 ]; then
  echo "DISPLAY=$DISPLAY XDG_CONFIG_HOME=$XDG_CONFIG_HOME"
fi
