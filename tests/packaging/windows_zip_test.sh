#!/usr/bin/env bash
# Builds vellumix-VERSION-win64.zip from the Windows build folder, unpacks it into a scratch
# folder and runs both programs from there under Wine: everything they load must be in the zip.
# Usage: windows_zip_test.sh BUILD_DIR VERSION WINE_RUN
set -euo pipefail

build_dir="$1"
version="$2"
wine_run="$3"
readonly step_timeout=120
readonly cpack_timeout=500

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

timeout "$cpack_timeout" cpack --config "$build_dir/CPackConfig.cmake" -G ZIP -B "$scratch/out" \
  > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; fail "cpack did not build the zip"; }
zip="$scratch/out/vellumix-$version-win64.zip"
[ -f "$zip" ] || fail "no $(basename "$zip") in: $(ls "$scratch/out")"
echo "package: $(basename "$zip")"

mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && python3 -m zipfile -e "$zip" .)
for file in vellumix.exe vellumix-cli.exe Qt6Core.dll Qt6Gui.dll Qt6Network.dll Qt6Widgets.dll \
            platforms/qwindows.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
            README.txt; do
  [ -f "$scratch/unpacked/$file" ] || fail "$file is missing from the zip"
done
[ ! -e "$scratch/unpacked/Qt6Test.dll" ] || fail "the test library Qt6Test.dll is in the zip"
[ ! -e "$scratch/unpacked/README.md" ] || fail "the Markdown README.md is in the zip"
# Notepad of older Windows shows a file with bare LF line ends as one line.
lines=$(wc -l < "$scratch/unpacked/README.txt")
crlf_lines=$(grep -c $'\r$' "$scratch/unpacked/README.txt" || true)
[ "$lines" -gt 0 ] && [ "$crlf_lines" -eq "$lines" ] ||
  fail "README.txt has $crlf_lines CRLF line ends in $lines lines"

# Run from the unpacked folder itself, with no other Windows DLLs on the search path.
cd "$scratch/unpacked"
out=$(WINEPATH= timeout "$step_timeout" "$wine_run" ./vellumix-cli.exe --version) ||
  fail "vellumix-cli.exe --version failed"
[ "$out" = "vellumix-cli $version" ] || fail "vellumix-cli.exe --version printed: $out"
out=$(WINEPATH= timeout "$step_timeout" "$wine_run" ./vellumix.exe --version | tr -d '\r') ||
  fail "vellumix.exe --version failed"
[ "$out" = "vellumix $version" ] || fail "vellumix.exe --version printed: $out"
echo "both programs run from the unpacked zip"
