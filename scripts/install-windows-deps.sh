#!/usr/bin/env bash
# Installs what the Windows build and its tests need, when missing: the
# MinGW-w64 cross compiler, Wine to run the programs, and Xvfb with
# ImageMagick for a screenshot of the window. Safe to run again.
set -euo pipefail
exec bash "$(dirname "$0")/install-deps.sh" g++-mingw-w64-x86-64-posix wine wine64 xvfb \
    imagemagick x11-utils "$@"
