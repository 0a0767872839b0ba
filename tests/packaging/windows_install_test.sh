#!/usr/bin/env bash
# Installs a Windows package under Wine as a user would, runs both programs from the installed
# folder, uninstalls it and checks that nothing is left behind.
#   msi:  the target "msi" builds the package; one built with a lower version from the same
#         WiX source is installed first, so the current one installs as an upgrade.
#   nsis: cpack builds the installer; it and its uninstaller run with /S.
# Usage: windows_install_test.sh msi|nsis BUILD_DIR VERSION WINE_RUN
set -euo pipefail

kind="$1"
build_dir="$2"
version="$3"
wine_run="$4"
readonly step_timeout=180
readonly build_timeout=500
readonly older_version=0.9.0

# A Wine prefix of the test's own, made anew and removed at the end: after an MSI install in
# the prefix the other Windows tests share, every program started there took 21 s longer, and
# a fresh Program Files cannot hold what an earlier run left.
export VELLUMIX_WINEPREFIX="$build_dir/wine-prefix-install-$kind"
export WINEPREFIX="$VELLUMIX_WINEPREFIX"
rm -rf "$WINEPREFIX"
timeout "$step_timeout" "$wine_run" cmd /c exit 0 > /dev/null 2>&1 || true  # makes the prefix
readonly folder_win='C:\Program Files\Vellumix'
readonly folder="$WINEPREFIX/drive_c/Program Files/Vellumix"
# The Start menu folder for all users, where both packages ask for their entries; Wine's
# msiexec puts an MSI's entries in the user's own Start menu even so.
menu_folders=()
for programs in "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX"/drive_c/users/*/AppData/Roaming; do
  menu_folders+=("$programs/Microsoft/Windows/Start Menu/Programs/Vellumix")
done
menu="${menu_folders[0]}"

scratch="$(mktemp -d)"
package=
older=
# A failed run uninstalls what it installed, so that the next run (ctest tries a failed Windows
# test once more) starts from an empty Program Files.
cleanup() {
  if [ -e "$folder" ]; then
    if [ "$kind" = msi ]; then
      for msi in $package $older; do
        timeout "$step_timeout" "$wine_run" msiexec /x "$(winepath -w "$msi")" /qn || true
      done
    elif [ -f "$folder/Uninstall.exe" ]; then
      timeout "$step_timeout" "$wine_run" "$folder_win\\Uninstall.exe" /S "_?=$folder_win" || true
      rm -rf "$folder" "${menu_folders[@]}"
    fi
  fi
  rm -rf "$scratch"
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

wine_step() {
  timeout "$step_timeout" "$wine_run" "$@"
}

# The "DisplayVersion" of every Vellumix entry under Apps & features, one a line.
registered_versions() {
  wine_step reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { if (named) print shown; named = 0; shown = "" }
      /DisplayName.*Vellumix/ { named = 1 } /DisplayVersion/ { shown = $NF }
      END { if (named) print shown }' || true
}

check_installed() {
  [ -d "$folder" ] || fail "nothing in $folder_win"
  for file in vellumix.exe vellumix-cli.exe Qt6Core.dll platforms/qwindows.dll README.txt; do
    [ -f "$folder/$file" ] || fail "$file was not installed"
  done
  for menu in "${menu_folders[@]}"; do
    [ -f "$menu/Vellumix.lnk" ] && break
  done
  [ -f "$menu/Vellumix.lnk" ] || fail "no Start menu entry for Vellumix"
  [ -f "$menu/Vellumix command line.lnk" ] || fail "no Start menu entry for the command line"
  local out
  out=$(wine_step "$folder_win\\vellumix-cli.exe" --version | tr -d '\r') ||
    fail "the installed vellumix-cli.exe did not run"
  [ "$out" = "vellumix-cli $version" ] || fail "installed vellumix-cli.exe --version: $out"
  out=$(wine_step "$folder_win\\vellumix.exe" --version | tr -d '\r') ||
    fail "the installed vellumix.exe did not run"
  [ "$out" = "vellumix $version" ] || fail "installed vellumix.exe --version: $out"
  # Beside the program when its folder is writable (Wine grants that to the owner of the
  # prefix), else in the roaming profile.
  out=$(wine_step "$folder_win\\vellumix-cli.exe" settings path | tr -d '\r') ||
    fail "settings path failed"
  case "$out" in
    "$folder_win\\Vellumix.ini" | *'\AppData\Roaming\Vellumix\Vellumix.ini') ;;
    *) fail "settings path printed: $out" ;;
  esac
  echo "installed: both programs run from $folder_win; settings: $out"
}

check_removed() {
  local left
  left=$(find "$folder" "${menu_folders[@]}" 2>/dev/null || true)
  [ -z "$left" ] || fail "left behind after uninstalling: $left"
  [ -z "$(registered_versions)" ] || fail "still under Apps & features: $(registered_versions)"
  echo "uninstalled: no file, Start menu entry or Apps & features entry left"
}

[ ! -e "$folder" ] || fail "$folder_win is there before the test: an earlier run left it"

if [ "$kind" = msi ]; then
  timeout "$build_timeout" cmake --build "$build_dir" --target msi > "$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log" >&2; fail "the msi target failed"; }
  package="$build_dir/vellumix-$version-win64.msi"
  [ -f "$package" ] || fail "no $(basename "$package")"
  older="$scratch/vellumix-$older_version-win64.msi"
  (cd "$build_dir" && timeout "$build_timeout" wixl -a x64 -D Version=$older_version -o "$older" \
    vellumix.wxs) > "$scratch/wixl.log" 2>&1 || { cat "$scratch/wixl.log" >&2; fail "wixl failed"; }

  wine_step msiexec /i "$(winepath -w "$older")" /qn || fail "msiexec /i of $older_version failed"
  [ "$(registered_versions)" = "$older_version" ] || fail "after $older_version: $(registered_versions)"
  wine_step msiexec /i "$(winepath -w "$package")" /qn || fail "the upgrade to $version failed"
  # A major upgrade removes the older product: one entry, of the new version.
  [ "$(registered_versions)" = "$version" ] || fail "after the upgrade: $(registered_versions)"
  check_installed
  wine_step msiexec /x "$(winepath -w "$package")" /qn || fail "msiexec /x failed"
  check_removed
else
  timeout "$build_timeout" cpack --config "$build_dir/CPackConfig.cmake" -G NSIS -B "$scratch/out" \
    > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; fail "cpack -G NSIS failed"; }
  package="$scratch/out/vellumix-$version-win64.exe"
  [ -f "$package" ] || fail "no $(basename "$package") in: $(ls "$scratch/out")"
  file "$package" | grep -q 'PE32+' || fail "not a 64-bit installer: $(file -b "$package")"
  wine_step "$package" /S || fail "the installer failed"
  [ "$(registered_versions)" = "$version" ] || fail "after installing: $(registered_versions)"
  check_installed
  # The uninstaller copies itself to the temporary folder and returns at once: wait (bounded)
  # for the copy to finish its work.
  wine_step "$folder_win\\Uninstall.exe" /S || fail "the uninstaller failed"
  for _ in $(seq 120); do
    [ -e "$folder" ] || break
    sleep 0.5
  done
  check_removed
fi
