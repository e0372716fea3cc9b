#!/usr/bin/env bash
# Checks the voice's Windows user interface under Wine with Xvfb: runs
# tests/windows/ui_check.exe (built by scripts/build_windows.sh) and turns the
# screenshots it takes into PNG files in build-windows/artefacts/.
# Prints ui_check's lines; exits with its status (0: all checks passed).
#
#   scripts/build_windows.sh && scripts/test_windows_ui.sh
#
#   SONVALE_WINDOWS_BUILD   build directory (build-windows in the repository);
#                           the Wine prefix lives in its wineprefix-ui/ unless
#                           WINEPREFIX is set
#
# The prefix is set up as a Chinese Windows would be for these windows: Wine
# draws the window frames itself (Xvfb has no window manager, and the
# screenshots should show captions), the dialog's Chinese faces "宋体" and
# "PMingLiU" are replaced by an installed CJK font, and the UI faces link to
# it for ideographs (Debian: fonts-wqy-zenhei, or fonts-droid-fallback).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SONVALE_WINDOWS_BUILD:-$root/build-windows}
objects=$build/ui-check
artefacts=$build/artefacts

log() { printf 'test-windows-ui: %s\n' "$*" >&2; }
die() { printf 'test-windows-ui: error: %s\n' "$*" >&2; exit 2; }

out=$build/out
[ -f "$out/ui_check.exe" ] || die "$out/ui_check.exe is missing: run scripts/build_windows.sh first"
mkdir -p "$objects" "$artefacts"

# A prefix of its own: the font set-up below is for these checks only.
prefix=${WINEPREFIX:-$build/wineprefix-ui}
# Sets WINEDEBUG and WINEDLLOVERRIDES, starts Xvfb, makes the prefix once
# and switches off the crash dialog; wine_env_stop ends what it started.
export SONVALE_WINEPREFIX=$prefix
# shellcheck source=wine_env.sh
source "$root/scripts/wine_env.sh" || die "the Wine environment could not be set up"
trap wine_env_stop EXIT
wine=$SONVALE_WINE

# The registry set-up above, as a .reg file (UTF-16 with a byte order mark,
# which is what regedit reads for Chinese value names).
cjk_family=
cjk_file=
for family in "WenQuanYi Zen Hei" "Droid Sans Fallback"; do
  file=$(fc-match -f '%{file}' "$family" 2>/dev/null || true)
  if [ -n "$file" ] && [ "$(fc-match -f '%{family[0]}' "$family" 2>/dev/null)" = "$family" ]; then
    cjk_family=$family
    cjk_file=$(basename "$file")
    break
  fi
done
utf16_hex() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//'; }
{
  printf '\xff\xfe'
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Decorated"="N"\r\n\r\n'
    if [ -n "$cjk_family" ]; then
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
      for face in 宋体 SimSun PMingLiU 新細明體; do printf '"%s"="%s"\r\n' "$face" "$cjk_family"; done
      printf '\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
      link=$(utf16_hex "$cjk_file,$cjk_family"),00,00,00,00
      for face in "MS Sans Serif" "Microsoft Sans Serif" Tahoma; do printf '"%s"=hex(7):%s\r\n' "$face" "$link"; done
    fi
  } | iconv -f UTF-8 -t UTF-16LE
} >"$objects/ui_prefix.reg"
[ -n "$cjk_family" ] || log "no CJK font found: Chinese texts will show as boxes"
timeout 60 "$wine" regedit /S "$("$wine" winepath -w "$objects/ui_prefix.reg" 2>/dev/null | tr -d '\r')" >/dev/null 2>&1 ||
  die "could not set up the Wine prefix's fonts"

rm -f "$artefacts"/*.bmp
log "running ui_check.exe"
status=0
artefact_dir=$("$wine" winepath -w "$artefacts" 2>/dev/null | tr -d '\r')
module=$("$wine" winepath -w "$out/Sonvale.dll" 2>/dev/null | tr -d '\r')
(cd "$out" && timeout 600 "$wine" ./ui_check.exe "$artefact_dir" "$module") || status=$?
timeout 60 "${SONVALE_WINESERVER:-wineserver}" -w 2>/dev/null || true

if command -v convert >/dev/null; then
  for bmp in "$artefacts"/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
fi
log "screenshots in $artefacts"
exit "$status"
