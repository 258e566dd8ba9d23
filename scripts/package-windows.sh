#!/usr/bin/env bash
# Packs the Windows programs of a build folder (build-win by default), with
# the sample Kelvarix.ini, into <build>/kelvarix-windows.zip, and builds the
# installer beside it (scripts/package-msi.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-win}
package="$PWD/$build/kelvarix-windows.zip"
stage=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
for program in kelvarix kelvarix-pbxsim kelvarix-alarmsim kelvarix-trace; do
    x86_64-w64-mingw32-strip -o "$stage/$program.exe" "$build/$program.exe"
done
cp packaging/Kelvarix.ini "$stage/"
rm -f "$package"
(cd "$stage" && zip -q -X "$package" kelvarix.exe kelvarix-pbxsim.exe kelvarix-alarmsim.exe \
    kelvarix-trace.exe Kelvarix.ini)
unzip -l "$package"
bash scripts/package-msi.sh "$build"
