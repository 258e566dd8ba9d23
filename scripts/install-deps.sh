#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kelvarix need, when
# they are missing. Safe to run again: it does nothing when all are present.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libasio-dev libgtest-dev libgmock-dev
          libbenchmark-dev libncurses-dev libsystemd-dev libsqlite3-dev tmux python3 prometheus
          dpkg-dev lintian adduser systemd man-db strace util-linux "$@")

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
