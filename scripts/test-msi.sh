# The Windows installer under Wine, in a fresh prefix: installed, run as a
# service, left by -U, upgraded over that (the old version's removal finds no
# service) and removed. Sourced by test-windows.sh, whose helpers it uses.
# shellcheck shell=bash

echo "== The Windows installer"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
msi="$build/kelvarix-$version-x64.msi"  # made by scripts/package-windows.sh
check "the installer has the tables ServiceInstall and ServiceControl" \
    test "$(msiinfo tables "$msi" | grep -cxE 'Service(Install|Control)')" -eq 2
check "the installer's version is $version, its upgrade code the fixed one" test "$(msiinfo export "$msi" \
    Property | tr -d '\r' | grep -cxE "ProductVersion	$version|UpgradeCode	\{5D7C82D3-9B4C-4C7C-A806-05D657BCD467\}")" -eq 2
check "kelvarix.exe has a message table" grep -q 'Entry: ID: 0x00000b,' <(x86_64-w64-mingw32-objdump -p "$build/kelvarix.exe")
x86_64-w64-mingw32-objcopy -O binary -j .rsrc "$build/kelvarix.exe" "$home/resources.bin"
# One block from 110 to 110, its entry the text "%1" (UTF-16).
check "the message table has the text of event 110" grep -q '6e0000006e000000.\{16\}25003100' \
    <(xxd -p "$home/resources.bin" | tr -d '\n')

wineserver -k || true  # the prefix of the runs above
export WINEPREFIX="$PWD/$build/msi-prefix"
rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
services_out="$PWD/$build/msi-services.out"
start_wine "$services_out"
program_files="$WINEPREFIX/drive_c/Program Files/Kelvarix"
msiexec() { (cd "$build" && wine msiexec "$1" "$(basename "$2")" /qn </dev/null >"$home/msiexec.out" 2>&1); }
installed() {
    local values
    values=$(registry "$service_key" /s; registry "$source_key")
    # FailureActions: the count resets after 86400 s; three restarts after 5000 ms.
    for value in 'DisplayName +REG_SZ +Quorsyn Kelvarix service' 'Start +REG_DWORD +0x2' \
        'RunAsService +REG_SZ +1' 'FailureActions +REG_BINARY +8051010000000000000000000300000014000000(0100000088130000){3}' \
        'EventMessageFile +REG_EXPAND_SZ +C:\\Program Files\\Kelvarix\\kelvarix.exe' 'TypesSupported +REG_DWORD +0x7'; do
        check "the registry has $value" grep -qE "^ +$value$" <<<"$values"
    done
    for file in kelvarix{,-pbxsim,-alarmsim,-trace}.exe Kelvarix.ini LogFiles/; do  # the slash: a folder
        check "Program Files\\Kelvarix has $file" test -e "$program_files/$file"
    done
}
msiexec /i "$msi" || fail "the installation failed"
installed

write_settings "$program_files" "$server_port" "$pbx_port"
log=$(system_log "$program_files")
wine net start Kelvarix >"$home/net.out" 2>&1 </dev/null || fail "net start failed"
wait_for "$log" "Successfully set menu (SM)" 60
wine net stop Kelvarix >"$home/net.out" 2>&1 </dev/null || fail "net stop failed"
wait_for "$log" "Kelvarix was stopped (reason: By Code)" 30
wait_until 30 "the service is STOPPED" service_is STOPPED

wine "$program_files/kelvarix.exe" -U >"$home/msi-remove.out" 2>&1 </dev/null || fail "-U failed"
expect "$home/msi-remove.out" "Quorsyn Kelvarix service service uninstalled successfully"
check "-U took the service and the event source" gone

echo "; edited" >>"$program_files/Kelvarix.ini"
echo "the old kelvarix.exe" >>"$program_files/kelvarix.exe"
next=${version%.*}.$((${version##*.} + 1))
msi_next=$(bash scripts/package-msi.sh "$build" "$next" | tail -n 1)
msiexec /i "$msi_next" || fail "the upgrade to $next failed"
installed
check "the upgrade kept the edited Kelvarix.ini" grep -qx '; edited' "$program_files/Kelvarix.ini"
check "the upgrade put the new kelvarix.exe" not grep -q "the old kelvarix.exe" "$program_files/kelvarix.exe"
check "the upgrade removed $version" not grep -qE "DisplayVersion +REG_SZ +$version$" \
    <(registry 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s)

msiexec /x "$msi_next" || fail "the removal failed"
check "the removal took the service and the event source" gone
check "the removal took the programs" test ! -e "$program_files/kelvarix.exe" -a ! -e "$program_files/kelvarix-pbxsim.exe" \
    -a ! -e "$program_files/kelvarix-alarmsim.exe"
check "the edited Kelvarix.ini stays" grep -qx '; edited' "$program_files/Kelvarix.ini"
check "LogFiles\\ and its log stay" test -f "$log"
