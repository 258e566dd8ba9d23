#!/usr/bin/env bash
# Packs the Windows programs of a build folder (build-win by default), with
# the sample Kelvarix.ini, into <build>/kelvarix-windows.zip, and builds the
# installer beside it (scripts/package-msi.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-win}
package="$PWD/$build/kelvarix-windows.zip"
source scripts/lib/windows.sh
stage_windows_files "$build"
rm -f "$package"
(cd "$stage" && zip -q -X "$package" kelvarix.exe kelvarix-pbxsim.exe kelvarix-alarmsim.exe \
    kelvarix-trace.exe Kelvarix.ini)
unzip -l "$package"
bash scripts/package-msi.sh "$build"
