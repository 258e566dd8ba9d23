#!/usr/bin/env bash
# The Debian package and the service's sandbox, as root (the README lists the
# checks): built from a release build, installed, run in the unit's sandbox
# under strace against the simulators, removed.   BUILD=build bash scripts/test-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD:-build}") scratch=$(mktemp -d) unit=/lib/systemd/system/kelvarix.service
# shellcheck source=scripts/lib/checks.sh
source scripts/lib/checks.sh
owner_mode() { [[ $(stat -c '%U:%G %a' "$1") == "$2" ]] || fail "$1: $(stat -c '%U:%G %a' "$1"), not $2"; }
expand() { systemd-analyze syscall-filter "$1" | awk 'NR > 1 && !/#/ { print $1 }' |
    while read -r name; do if [[ $name == @* ]]; then expand "$name"; else echo "$name"; fi; done; }
rate() {  # unit in the scratch root, goal: the exposure score, and verify with nothing on standard error
    local score; score=$(systemd-analyze security --offline=true "$scratch/root$1" | sed -n 's/.*exposure level.*: \([0-9.]*\).*/\1/p')
    awk -v s="$score" -v g="$2" 'BEGIN { exit !(s != "" && s <= g) }' || fail "$1 rates '$score', above $2"
    echo "$1: exposure $score (goal $2)"
    [[ -z $(systemd-analyze verify --root="$scratch/root" "$1" 2>&1) ]] || fail "$(systemd-analyze verify --root="$scratch/root" "$1" 2>&1)"
}
((EUID == 0)) && ! dpkg -s kelvarix >/dev/null 2>&1 || fail "needs root, and no kelvarix installed yet"
pids=() && trap 'set +e; kill "${pids[@]}" 2>/dev/null; dpkg --purge kelvarix >/dev/null 2>&1; rm -rf "$scratch"' EXIT

rm -f "$build"/kelvarix_*.deb && cmake --build "$build" --target package >/dev/null
deb=$(echo "$build"/kelvarix_*_amd64.deb)
lintian --fail-on error,warning "$deb"
dpkg -i "$deb" >/dev/null
owner_mode /opt/kelvarix/Kelvarix.ini "root:kelvarix 640"
owner_mode /opt/kelvarix/LogFiles "kelvarix:kelvarix 750"
owner_mode /var/lib/kelvarix "kelvarix:kelvarix 750"
[[ $(readlink /usr/bin/kelvarix) == /opt/kelvarix/kelvarix && $(readlink /usr/bin/kelvarix-trace) == /opt/kelvarix/kelvarix-trace && -L /etc/systemd/system/multi-user.target.wants/kelvarix.service ]] ||
    fail "no /usr/bin/kelvarix or kelvarix-trace link, or no enabled unit"
dpkg-query -W -f '${Depends} ${Conffiles}' kelvarix | grep -q 'libsqlite3.*/opt/kelvarix/Kelvarix.ini' || fail "no shared-library depends or conffile"

mkdir -p "$scratch"/{root/opt/kelvarix,root/lib/systemd,root/etc/systemd/system,home,strace}
cp -r /lib/systemd/system "$scratch/root/lib/systemd/" && cp /opt/kelvarix/kelvarix "$scratch/root/opt/kelvarix/"
printf "[General]\nAlarmStore=/var/lib/kelvarix/a.db\n[Orvane]\nServerPort=102\n[ATAS]\nPortNumber=1\n" >"$scratch/home/Kelvarix.ini"
KELVARIX_HOME=$scratch/home KELVARIX_UNIT_DIR=$scratch/root/etc/systemd/system /opt/kelvarix/kelvarix -I 2>/dev/null
rate /etc/systemd/system/Kelvarix.service 2.0
rate $unit 1.5

"$build/kelvarix-pbxsim" --port 0 --auto-ack 100 >"$scratch/pbx.out" 2>&1 &
pids+=($!)
wait_for "$scratch/pbx.out" listening 20
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i -e "s/^ServerPort=.*/ServerPort=$port/; s/^IPAddress=.*/IPAddress=127.0.0.1/" -e "s|^\[ATAS\]|&\nSCADAAckFile=/var/lib/kelvarix/scada|" \
    -e "s/^PortNumber=.*/PortNumber=$(sed -n 's/^listening //p' "$scratch/pbx.out")/" /opt/kelvarix/Kelvarix.ini
chmod 711 "$scratch" && chown kelvarix "$scratch/strace"
unshare --mount sh -c 'cd /opt/kelvarix && umask 027 && mount --bind . . && mount -o remount,bind,ro . &&
    for p in $(sed -n "s/^ReadWritePaths=//p" '$unit'); do mount --bind "$p" "$p" && mount -o remount,bind,rw "$p"; done &&
    exec setpriv --reuid kelvarix --regid kelvarix --init-groups --bounding-set -all --inh-caps -all --no-new-privs \
    strace -I 1 -f -c -o '"$scratch"'/strace/counts kelvarix' &
tracer=$! && pids+=($tracer)  # strace ends the gateway with it
log=/opt/kelvarix/LogFiles/$(date +%F).Log
wait_for "$log" "Successfully set menu (SM)" 20
gateway=$(pgrep -P "$tracer" -x kelvarix)
"$build/kelvarix-alarmsim" --port "$port" '1|0|88|4711|2001||Package test|PKG-1' | grep -F 'reply: sent (4711)' >/dev/null || fail "alarm not sent"
wait_for /var/lib/kelvarix/scada PKG-1 20
kill -TERM "$gateway"
wait "$tracer" || fail "the gateway ended with status $?"
wait_for "$log" "Kelvarix was stopped (reason: By Code)" 20
owner_mode /var/lib/kelvarix/alarms.db "kelvarix:kelvarix 640"
awk 'NF > 4 && $NF ~ /^[a-z0-9_]+$/ && $NF !~ /^(total|syscall)$/ { print $NF }' "$scratch/strace/counts" | sort -u >"$scratch/calls"
outside=$(comm -23 "$scratch/calls" <(comm -23 <(expand @system-service | sort -u) <({ expand @privileged; expand @resources; } | sort -u)))
[[ -z $outside ]] || fail "system calls outside @system-service or in @privileged, @resources: $outside"
echo "sandboxed run: alarm sent, logs, SCADA line and store written, $(wc -l <"$scratch/calls") system calls, all allowed"

dpkg -r kelvarix >/dev/null
grep -q "^ServerPort=$port" /opt/kelvarix/Kelvarix.ini && [[ ! -e /usr/bin/kelvarix ]] || fail "dpkg -r: edited Kelvarix.ini lost or program left"
dpkg --purge kelvarix >/dev/null
! getent passwd kelvarix && [[ ! -e /opt/kelvarix && ! -e /var/lib/kelvarix ]] || fail "dpkg --purge left the user or files"
[[ -z $(find /etc/systemd/system -name 'kelvarix.service*'; dpkg-statoverride --list | grep kelvarix) ]] || fail "dpkg --purge left links or overrides"
echo "package test passed: $(basename "$deb")"
