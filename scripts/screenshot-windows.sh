#!/usr/bin/env bash
# Takes the picture of the Windows gateway's window in docs/windows-window.png:
# kelvarix.exe under Wine on a virtual display (Xvfb), between the Linux PBX
# simulator and one alarm from the Linux alarm-server simulator, so that its
# list shows the ATAS session being set up, the alarm and its reply. The
# tests do not run it.
#
#   bash scripts/screenshot-windows.sh [picture.png]
#
# Needs the Windows build in build-win (bash scripts/test-windows.sh builds
# it) and what scripts/install-windows-deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/lib/children.sh
source scripts/lib/children.sh  # the working folder is the root here
# shellcheck source=scripts/lib/windows.sh
source scripts/lib/windows.sh

picture=${1:-docs/windows-window.png}
build="build-win"
die() {
    echo "screenshot-windows.sh: $*" >&2
    exit 1
}
[[ -f $build/kelvarix.exe ]] || die "no $build/kelvarix.exe: run bash scripts/test-windows.sh first"
if [[ ! -f build/build.ninja ]]; then
    cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build --target kelvarix-pbxsim kelvarix-alarmsim >/dev/null

# A Wine prefix of its own. There is no window manager on the virtual
# display, so Wine is told to draw the windows' frames and captions itself
# (Managed = N), as Windows does.
export WINEPREFIX="$PWD/$build/wine-prefix-screenshot"
export WINEDEBUG=-all
unset DISPLAY KELVARIX_HOME
mkdir -p "$WINEPREFIX"

home=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-picture.XXXXXX")
pbx_pid=""
gateway_pid=""
xvfb_pid=""
cleanup() {
    stop_child "$gateway_pid"
    wineserver -k >/dev/null 2>&1 || true
    stop_child "$xvfb_pid"
    stop_child "$pbx_pid"
    rm -rf "$home"
}
trap cleanup EXIT

# Polls the command until it succeeds, at most the given seconds.
wait_until() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
logged() { grep -qF -- "$1" "$(system_log "$home")" 2>/dev/null; }

# The terminal's acknowledgement comes late, so that the reply to the alarm
# server is the newest line when the picture is taken.
start_pbxsim "$home" 600000 || die "the PBX simulator did not start"
server_port=$(free_port)
make_program_folder "$home" "$build/kelvarix.exe" "$server_port" "$pbx_port"
start_display "$home" || die "Xvfb did not start"
start_wine "$home/services.out" "$display"
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
# Wine's own fonts for the frame (Marlett for the caption's buttons, Tahoma
# for caption and menu), which this Wine does not pick up where its package
# puts them.
for font in marlett.ttf tahoma.ttf tahomabd.ttf; do
    if [[ -f /usr/share/wine/fonts/$font ]]; then
        cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
done

DISPLAY=$display wine "$home/kelvarix.exe" >"$home/gateway.out" 2>&1 </dev/null &
gateway_pid=$!
wait_until 60 logged "Successfully set menu (SM)" || die "the gateway did not set up its ATAS session"
build/kelvarix-alarmsim --port "$server_port" '1|0|88|4711|2001||Fire alarm room 12|FIRE-2' \
    >"$home/alarmsim.out" 2>&1 || die "the alarm server simulator failed"
wait_until 30 logged "Orvane Alarm Server disconnected" || die "the alarm was not handled"

# The window's own X window (Wine draws its frame into it), once it shows
# the same picture twice in a row: every line has been drawn.
window_id() {
    DISPLAY=$display xwininfo -root -tree |
        awk '/"Kelvarix - Version [^"]*": \("kelvarix.exe"/ { print $1; exit }'
}
wait_until 30 test -n "$(window_id)" || die "the gateway shows no window"
window=$(window_id)
capture() { DISPLAY=$display import -window "$window" rgb:- | md5sum; }
settled() {
    local now
    now=$(capture)
    [[ $now == "${last:-}" ]] && return 0
    last=$now
    return 1
}
last=""
wait_until 30 settled || die "the window kept changing"
DISPLAY=$display import -window "$window" "$picture"
echo "$picture: $(identify -format '%wx%h' "$picture")"
