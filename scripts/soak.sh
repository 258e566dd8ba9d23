#!/usr/bin/env bash
# Soak run of the gateway on loopback: the crash loop (scripts/test-crash.sh)
# without the alarm store and the kills, with the checks the README lists.
#   bash scripts/soak.sh [MINUTES]    # default 10; the exit status is 0 when every check passed
# KELVARIX_BUILD_DIR names a build folder to use (otherwise build/, with the
# dependencies installed first). KELVARIX_SOAK_KEEP=1 keeps the files.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
[[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "usage: soak.sh [minutes]" >&2; exit 64; }
[[ -n ${KELVARIX_BUILD_DIR:-} ]] || bash scripts/install-deps.sh
BUILD=${KELVARIX_BUILD_DIR:-build} exec bash scripts/test-crash.sh --soak "$minutes"
