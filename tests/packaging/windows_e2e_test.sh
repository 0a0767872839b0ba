#!/usr/bin/env bash
# vellumix-cli.exe under Wine and vellumix-cli on Linux pack examples/web to the same bytes, and
# the Windows program uploads it to the Linux simulator on 127.0.0.1, which receives exactly
# that image. Exit 77 (skipped) when the Linux program has not been built.
# Usage: windows_e2e_test.sh WINDOWS_CLI LINUX_CLI EXAMPLES WINE_RUN
set -euo pipefail

windows_cli="$1"
linux_cli="$2"
examples="$3"
wine_run="$4"
readonly step_timeout=120

[ -x "$linux_cli" ] || { echo "no Linux build at $linux_cli: skipped"; exit 77; }

scratch="$(mktemp -d)"
simulator=
cleanup() {
  [ -n "$simulator" ] && kill "$simulator" 2>/dev/null && wait "$simulator" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

printf '[DEFAULT]\r\n' > "$scratch/Vellumix.ini"
timeout "$step_timeout" "$linux_cli" pack "$examples/web" -o "$scratch/linux.img" --ini "$scratch/Vellumix.ini" \
  > "$scratch/linux.log" 2>&1 || { cat "$scratch/linux.log" >&2; fail "Linux pack failed"; }
timeout "$step_timeout" "$wine_run" "$windows_cli" pack "$examples/web" -o "$scratch/windows.img" \
  --ini "$scratch/Vellumix.ini" > "$scratch/windows.log" 2>&1 || { cat "$scratch/windows.log" >&2; fail "Windows pack failed"; }
cmp "$scratch/linux.img" "$scratch/windows.img" || fail "the two images differ"
echo "pack: the same $(stat -c %s "$scratch/linux.img") bytes on both systems"

# Names beyond ASCII under the code page 1252 (Wine's for these locales): a folder below
# "Jürgen" or a Greek one packs as examples/web does, while a Greek file name, which the image
# cannot hold in that code page, is left out with its reason (and refused by --strict).
windows() { timeout "$step_timeout" "$wine_run" "$windows_cli" "$@" --ini "$scratch/Vellumix.ini"; }
for folder in "Jürgen/web" "Ελλάδα/web"; do
  mkdir -p "$scratch/$folder"
  cp -r "$examples/web/." "$scratch/$folder"
done
printf 'x' > "$scratch/Ελλάδα/web/λόγος.htm"
for folder in "Jürgen/web" "Ελλάδα/web"; do
  windows pack "$scratch/$folder" -o "$scratch/named.img" > "$scratch/named.log" 2>&1 ||
    { cat "$scratch/named.log" >&2; fail "Windows pack of $folder failed"; }
  cmp "$scratch/linux.img" "$scratch/named.img" || fail "$folder packs to other bytes"
done
grep -q "left out: .* (name has no form in the ANSI code page)" "$scratch/named.log" ||
  { cat "$scratch/named.log" >&2; fail "the Greek file name was not left out with its reason"; }
if windows pack --strict "$scratch/Ελλάδα/web" -o "$scratch/strict.img" > "$scratch/strict.log" 2>&1; then
  fail "--strict packed a folder with a file left out"
fi
echo "names: folders beyond ASCII pack alike; a name without an ANSI form is left out"

# web_path is stored in the ANSI code page (ü is the byte 0xFC) and read back as typed; a path
# without an ANSI form is refused. A "Unicode" (UTF-16LE) file is read and written in its form.
windows settings set web_path 'C:\Users\Jürgen\web' > "$scratch/set.log" 2>&1 ||
  { cat "$scratch/set.log" >&2; fail "settings set web_path failed"; }
LC_ALL=C grep -q $'web_path=C:\\\\Users\\\\J\xFCrgen\\\\web\r' "$scratch/Vellumix.ini" ||
  { od -c "$scratch/Vellumix.ini" >&2; fail "web_path is not stored in code page 1252"; }
[ "$(windows settings get web_path)" = 'C:\Users\Jürgen\web' ] || fail "web_path read back otherwise"
if windows settings set web_path 'C:\Ελλάδα' > "$scratch/set.log" 2>&1; then
  fail "a web_path without an ANSI form was stored"
fi
{ printf '\xFF\xFE'; printf '[DEFAULT]\r\nweb_path=C:\\Ελλάδα\r\n' | iconv -f UTF-8 -t UTF-16LE; } \
  > "$scratch/Vellumix.ini"
[ "$(windows settings get web_path)" = 'C:\Ελλάδα' ] || fail "the UTF-16LE file was not read"
windows settings set max_rom 512 > "$scratch/set.log" 2>&1 || { cat "$scratch/set.log" >&2; fail "no write"; }
[ "$(head -c 2 "$scratch/Vellumix.ini" | od -An -tx1 | tr -d ' ')" = fffe ] || fail "the file lost its form"
[ "$(tail -c +3 "$scratch/Vellumix.ini" | iconv -f UTF-16LE -t UTF-8)" = \
  "$(printf '[DEFAULT]\r\nweb_path=C:\\Ελλάδα\r\nmax_rom=512\r\n')" ] || fail "the UTF-16LE write differs"
printf '[DEFAULT]\r\n' > "$scratch/Vellumix.ini"
echo "settings: web_path in code page 1252 and UTF-16LE files read and written"

"$linux_cli" device --once --listen 127.0.0.1 --port 0 --save "$scratch/received.img" \
  > "$scratch/device.log" 2>&1 &
simulator=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/device.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$scratch/device.log" >&2; fail "the simulator did not start"; }

# The ledger's default place below a profile beyond ASCII (%LOCALAPPDATA% of a "Jürgen"), set
# inside Wine since Wine keeps its own value of that variable.
in_wine() { printf 'Z:%s' "${1//\//\\}"; }  # Wine's Z: drive is the Unix root
timeout "$step_timeout" "$wine_run" cmd /c \
  "set LOCALAPPDATA=$(in_wine "$scratch/Jürgen/AppData/Local")&& $(in_wine "$windows_cli") upload \
$(in_wine "$examples/web") --device 127.0.0.1 --port $port --ini $(in_wine "$scratch/Vellumix.ini")" \
  > "$scratch/upload.log" 2>&1 ||
  { cat "$scratch/upload.log" "$scratch/device.log" >&2; fail "the upload from Windows failed"; }
timeout "$step_timeout" tail --pid="$simulator" -f /dev/null || fail "the simulator did not end"
simulator=
wait || true
grep -q "Web Server Update OK!" "$scratch/upload.log" || { cat "$scratch/upload.log" >&2; fail "no success message"; }
cmp "$scratch/linux.img" "$scratch/received.img" || fail "the device received other bytes"
[ -s "$scratch/Jürgen/AppData/Local/Vellumix/ledger.sqlite" ] ||
  { cat "$scratch/upload.log" >&2; fail "the upload was not recorded below the profile"; }
echo "upload: the Linux simulator received the image from vellumix-cli.exe, recorded below Jürgen"
