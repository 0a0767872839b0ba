#!/usr/bin/env bash
# Builds the .deb from a build folder, unpacks it into a scratch root (no system install) and
# checks what a user would get: the control fields, both programs running from the unpacked
# tree, the desktop entry, the icon and the man pages.
# Usage: deb_install_test.sh BUILD_DIR VERSION MAN_PAGES(ON|OFF)
set -euo pipefail

build_dir="$1"
version="$2"
man_pages="${3:-ON}"
readonly step_timeout=30
readonly cpack_timeout=500

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The package, built into the scratch folder so the build tree is left as it was.
timeout "$cpack_timeout" cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$scratch/out" \
  > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; fail "cpack did not build the package"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb="${debs[0]}"
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vellumix ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)'"
[ -n "$(field Description)" ] || fail "no Description"
# dpkg-shlibdeps ran: the Qt and C++ runtime libraries are declared, with versions.
depends="$(field Depends)"
for library in libqt6core6 libqt6network6 libqt6widgets6 libstdc++6 libc6; do
  [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library: '$depends'"
done
[[ "$depends" == *"(>="* ]] || fail "Depends carries no versions: '$depends'"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"

for program in vellumix-cli vellumix; do
  binary="$root/usr/bin/$program"
  [ -x "$binary" ] || fail "$program is not in usr/bin"
  out="$(env -u DISPLAY -u WAYLAND_DISPLAY timeout "$step_timeout" "$binary" --version)" \
    || fail "$program --version failed"
  [ "$out" = "$program $version" ] || fail "$program --version printed '$out'"
done
help="$(env -u DISPLAY -u WAYLAND_DISPLAY timeout "$step_timeout" "$root/usr/bin/vellumix" --help)" \
  || fail "vellumix --help failed"
[[ "$help" == Usage:* ]] || fail "vellumix --help printed '$help'"

desktop="$root/usr/share/applications/vellumix.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx 'Exec=vellumix' "$desktop" || fail "desktop entry does not start vellumix"
grep -qx 'Icon=vellumix' "$desktop" || fail "desktop entry does not name the icon"
if command -v desktop-file-validate > /dev/null; then
  desktop-file-validate "$desktop" || fail "desktop entry does not validate"
else
  echo "note: desktop-file-validate not installed; desktop entry not validated"
fi

icon="$root/usr/share/icons/hicolor/32x32/apps/vellumix.png"
[ -f "$icon" ] || fail "no icon in the hicolor theme"
[ "$(head -c 8 "$icon" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "icon is not a PNG"

if [ "$man_pages" = ON ]; then
  for program in vellumix vellumix-cli; do
    page="$root/usr/share/man/man1/$program.1.gz"
    [ -f "$page" ] || fail "no man page for $program"
    text="$(gzip -dc "$page")" || fail "$program.1.gz is not gzip"
    [[ "$text" == *".TH ${program^^} \"1\""* ]] || fail "$program.1.gz has no .TH line"
    [[ "$text" == *"XDG_CONFIG_HOME"* ]] || fail "$program.1.gz does not tell where settings live"
  done
else
  echo "note: man pages were not built (help2man missing); not checked"
fi

# Nothing outside /usr, and nothing of the build (libraries, tests, headers) in the package.
unexpected="$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./$' -e '^\./usr/' || true)"
[ -z "$unexpected" ] || fail "files outside /usr: $unexpected"
if dpkg-deb -c "$deb" | awk '{print $6}' | grep -q -e '\.a$' -e '_tests$' -e '\.h$'; then
  fail "build artefacts in the package"
fi

echo "deb_install: ok"
