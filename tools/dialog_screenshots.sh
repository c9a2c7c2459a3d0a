#!/usr/bin/env bash
# Pictures of the settings and statistics windows of the tray program on a
# virtual desktop, opened from the icon's menu as a user would:
#
#   bash tools/dialog_screenshots.sh [OUTPUT_FOLDER]   (default docs)
#
# settings-default.png   a new instance (#2): every field at its default
# settings-complete.png  instance #1 set up for two title engines, stopped
# statistics-running.png instance #1 relaying into both engines for 12 s
#
# The program runs on a small virtual studio of its own (QUELLVOX_STUDIO);
# the desktop and the menu driving come from tools/screenshots.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_SCREENSHOTS_LIBRARY=1 source "$root/tools/screenshots.sh"
out=${1:-$root/docs}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -x "$QV_BUILD/bin/quellvox" ] || { echo "no $QV_BUILD/bin/quellvox: build first" >&2; exit 2; }
qv_install_tools

work=$(mktemp -d /tmp/quellvox-dialog-shots-XXXXXX)
trap 'qv_stop; rm -rf "$work"' EXIT
cat >"$work/studio.json" <<'JSON'
{
  "devices": [
    {"kind": 2, "name": "Studio A", "board": "SDI 1", "width": 640, "height": 360, "rate": 25, "channels": 8,
     "audio": [{"source": "floor", "seed": 3}, {"source": "speech", "seed": 1}, {"source": "speech", "seed": 6}]},
    {"kind": 2, "name": "Studio B", "board": "SDI 2", "width": 640, "height": 360, "rate": 25, "channels": 8},
    {"kind": 9, "name": "Replay", "board": "Network", "width": 640, "height": 360, "rate": 50, "channels": 8},
    {"kind": 12, "name": "Auxiliary"}
  ],
  "engines": [
    {"name": "Lower Thirds", "width": 640, "height": 360, "rate": 25, "stereoLines": 3},
    {"name": "Newsroom Graphics", "width": 640, "height": 360, "rate": 25, "stereoLines": 3},
    {"name": "Ticker", "width": 640, "height": 360, "rate": 25, "stereoLines": 1},
    {"name": "Sports Playout", "width": 640, "height": 360, "rate": 50, "stereoLines": 4}
  ]
}
JSON
export QUELLVOX_STUDIO=$work/studio.json

# Instance #1: two engines, two voice-over rows over the floor.
cat >"$work/setup.sh" <<'SETUP'
"$reg" set "$key" CaptureSource --string 'SDI 1 Studio A' >/dev/null
"$reg" set "$key" CpuPriority --dword 1 >/dev/null
"$reg" set "$key" DelayInFrames --dword 12 >/dev/null
"$reg" set "$key" RegionName --string 'Voice-over relay' >/dev/null
"$reg" set "$key" ShowOnStartType --dword 1 >/dev/null
"$reg" set "$key" TitleEngineCnt --dword 2 >/dev/null
"$reg" set "$key" TitleEngine1 --string 'Lower Thirds' >/dev/null
"$reg" set "$key" TitleEngine2 --string 'Newsroom Graphics' >/dev/null
"$reg" set "$key" UseLine2 --dword 1 >/dev/null
"$reg" set "$key" From4Line2 --string 'Left#3' >/dev/null
"$reg" set "$key" To4Line2 --string 'Stereo#2' >/dev/null
"$reg" set "$key" VolumeDB4Line2 --dword $((0xFFFFFFFD)) >/dev/null
"$reg" set "$key" To4Line3 --string 'Right#3' >/dev/null
"$reg" set "$key" VolumeDB4Line3 --dword 6 >/dev/null
SETUP
QV_SETUP=$work/setup.sh
QV_ID='#1'
qv_start_desktop

QV_ID='#2'
qv_start_program
qv_menu_command Settings...
qv_shoot_window "Quellvox #2 Settings" "$out/settings-default.png"
xdotool key Escape
sleep 0.3
qv_menu_command Exit
wait "$qv_program_pid" || true

QV_ID='#1'
qv_start_program
qv_menu_command Settings...
qv_shoot_window "Quellvox #1 Settings" "$out/settings-complete.png"
xdotool key Escape
sleep 0.3
qv_menu_command Start
sleep 1
qv_menu_command Log...
sleep 12
qv_shoot_window "Quellvox #1 Statistics" "$out/statistics-running.png"
xdotool key Escape
sleep 0.3
qv_menu_command Exit
wait "$qv_program_pid" || true
