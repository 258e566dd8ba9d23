#!/usr/bin/env bash
# Builds the Windows installer <build>/kelvarix-<version>-x64.msi with wixl
# from packaging/kelvarix.wxs and the programs of a finished build folder
# (build-win by default). The version is the project's unless given.
#   bash scripts/package-msi.sh [build folder] [version]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-win}
version=${2:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")}
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "package-msi.sh: no version" >&2; exit 1; }
package="$(cd "$build" && pwd)/kelvarix-$version-x64.msi"
source scripts/lib/windows.sh
stage_windows_files "$build"
rm -f "$package"
# wixl takes the files' Source paths from the working folder.
(cd "$stage" && wixl --arch x64 --define Version="$version" --output "$package" \
    "$OLDPWD/packaging/kelvarix.wxs")

# What wixl 0.101 cannot say, set in its tables: the settings and LogFiles\
# are permanent (0x10) and Kelvarix.ini is never overwritten (0x80), beside
# the 64-bit flag (0x100); registry values typed binary ("#x") and
# expandable ("#%"), which it writes as plain strings.
msibuild "$package" -q "UPDATE \`Component\` SET \`Attributes\` = 400 WHERE \`Component\` = 'Settings'"
msibuild "$package" -q "UPDATE \`Component\` SET \`Attributes\` = 272 WHERE \`Component\` = 'LogFiles'"
for typed in "FailureActions #x" "EventMessageFile #%"; do
    name=${typed% *} prefix=${typed#* }
    value=$(msiinfo export "$package" Registry | tr -d '\r' | awk -F'\t' -v name="$name" '$4 == name { print $5 }')
    [[ -n $value && $value != "#"* ]] || { echo "package-msi.sh: no plain $name in the Registry table" >&2; exit 1; }
    msibuild "$package" -q "UPDATE \`Registry\` SET \`Value\` = '$prefix$value' WHERE \`Name\` = '$name'"
done
echo "$package"
