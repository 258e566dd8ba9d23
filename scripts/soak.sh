#!/usr/bin/env bash
# Soak run of the gateway on loopback: alarms at 20 a second from one
# alarm-server connection after the other, while the PBX simulator is stopped
# and started again at random. At the end it checks that every line got
# exactly one reply, that every alarm answered "sent" or "buffered" reached
# the PBX (twice only after a lost link the log names), and that the gateway's
# memory levelled off, and prints the figures. It is the crash loop's run
# without the alarm store and the kills (scripts/test-crash.sh).
#   bash scripts/soak.sh [MINUTES]    # default 10; the exit status is 0 when every check passed
# KELVARIX_BUILD_DIR names a build folder to use (otherwise build/, with the
# dependencies installed first). KELVARIX_SOAK_KEEP=1 keeps the files.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
[[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "usage: soak.sh [minutes]" >&2; exit 64; }
[[ -n ${KELVARIX_BUILD_DIR:-} ]] || bash scripts/install-deps.sh
BUILD=${KELVARIX_BUILD_DIR:-build} exec bash scripts/test-crash.sh --soak "$minutes"
