#!/usr/bin/env bash
# Installs what the Windows build and its tests need, when missing: the
# MinGW-w64 cross compiler, Wine to run the programs, and Xvfb with
# ImageMagick for a screenshot of the window. Safe to run again.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix wine wine64 xvfb imagemagick x11-utils "$@")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi
