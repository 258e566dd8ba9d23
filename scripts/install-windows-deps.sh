#!/usr/bin/env bash
# Installs what the Windows build and its tests need, when missing: the
# MinGW-w64 cross compiler, Wine to run the programs, Xvfb with ImageMagick
# for a screenshot of the window, wixl and msitools for the installer, and
# the SQLite amalgamation that the Windows build compiles into the gateway.
# Safe to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

npm_package=()
command -v npm >/dev/null || npm_package=(npm)
bash "$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix wine wine64 xvfb \
    imagemagick x11-utils wixl msitools "${npm_package[@]}" "$@"

# SQLite's unmodified release tarball, as the npm package sqlite3 ships it.
# Both archives are checked against the checksums taken when it was chosen.
sqlite_release=sqlite-autoconf-3520000
sqlite_dir=$root/.cache/$sqlite_release
if [[ ! -f $sqlite_dir/sqlite3.c ]]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && npm pack --silent sqlite3@6.0.1 >/dev/null)
    sha256sum -c --quiet <<<"ab8d044a93e05bd031d7ea75547c7fa60387cdc259d27f93c0e3e2832c4b1df9  $work/sqlite3-6.0.1.tgz"
    tar -xzf "$work/sqlite3-6.0.1.tgz" -C "$work" "package/deps/$sqlite_release.tar.gz"
    sha256sum -c --quiet <<<"f6b50b0c103392af32a8be15b2b9d25959de9a00a70c3979128aafeaa5338b3f  $work/package/deps/$sqlite_release.tar.gz"
    mkdir -p "$sqlite_dir"
    tar -xzf "$work/package/deps/$sqlite_release.tar.gz" -C "$sqlite_dir" --strip-components=1 \
        "$sqlite_release/sqlite3.c" "$sqlite_release/sqlite3.h"
fi
