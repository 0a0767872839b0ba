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

timeout "$step_timeout" "$wine_run" "$windows_cli" upload "$examples/web" --device 127.0.0.1 \
  --port "$port" --ini "$scratch/Vellumix.ini" > "$scratch/upload.log" 2>&1 ||
  { cat "$scratch/upload.log" "$scratch/device.log" >&2; fail "the upload from Windows failed"; }
timeout "$step_timeout" tail --pid="$simulator" -f /dev/null || fail "the simulator did not end"
simulator=
wait || true
grep -q "Web Server Update OK!" "$scratch/upload.log" || { cat "$scratch/upload.log" >&2; fail "no success message"; }
cmp "$scratch/linux.img" "$scratch/received.img" || fail "the device received other bytes"
echo "upload: the Linux simulator received the image from vellumix-cli.exe"
