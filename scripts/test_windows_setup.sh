#!/usr/bin/env bash
# Runs the setup program (Sonvale-Setup-VERSION.exe, from
# scripts/build_windows.sh) under Wine 10 as an administrator would, silently:
#   - it installs into Program Files, writes the voice token with the CLSID of
#     the settings class under UI\EngineProperties in each registry view it
#     registers a DLL in, and an Add/Remove Programs entry;
#   - a client of the speech API (sapi_voice_check.exe, 64-bit and, when the
#     setup carries the 32-bit DLL, 32-bit) finds the installed voice and
#     speaks a sentence bit-identical to the Linux build;
#   - running the setup again over the installed copy keeps a changed setting;
#   - its uninstaller leaves no file and no key behind: the files under Program
#     Files and the keys of the prefix's registry are listed before the setup
#     and after the uninstaller, and must be the same.
# Prints one line per check; exits 0 when all pass, 1 when one fails, 2 when
# something it needs is missing. Needs root (the Wine 10 chroot of
# scripts/wine10_env.sh).
#
#   scripts/build_windows.sh && scripts/test_windows_setup.sh
#
#   SONVALE_WINDOWS_BUILD   Windows build directory (build-windows)
#   SONVALE_BUILD           Linux build directory (build): tools/sonvale
#   SONVALE_SAPI_TEXT       the sentence (UTF-8) to speak
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SONVALE_WINDOWS_BUILD:-$root/build-windows}
linux_build=${SONVALE_BUILD:-$root/build}
text=${SONVALE_SAPI_TEXT:-今日天氣好好，我哋去飲茶，食咗3籠點心。}

readonly ui_clsid='{82B88068-DFB4-4284-A3F4-C388B2EAB665}'
readonly token='HKLM\SOFTWARE\Microsoft\Speech\Voices\Tokens\REZuroruRadarorud'
readonly uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Sonvale'

say() { printf 'test-windows-setup: %s\n' "$*" >&2; }
die() { printf 'test-windows-setup: error: %s\n' "$*" >&2; exit 2; }
failures=0
pass() { printf 'ok   %s\n' "$1"; }
fail() {
  printf 'FAIL %s\n' "$1"
  [ $# -gt 1 ] && printf '       %s\n' "${@:2}"
  failures=$((failures + 1))
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

started=$SECONDS
setup=$(find "$build" -maxdepth 1 -name 'Sonvale-Setup-*.exe' | sort | tail -n 1)
[ -n "$setup" ] || die "no Sonvale-Setup-*.exe in $build: run scripts/build_windows.sh first"
out=$build/out
for f in sapi_voice_check.exe voice/voice.def voice/voice.dat voice/voice.wrd; do
  [ -f "$out/$f" ] || die "$out/$f is missing: run scripts/build_windows.sh first"
done
sonvale=$linux_build/tools/sonvale
[ -x "$sonvale" ] || die "$sonvale is missing: build the Linux tree first"
with_x86=0
[ -f "$out/x86/Sonvale.dll" ] && [ -f "$out/x86/sapi_voice_check.exe" ] && with_x86=1

work=$build/setup-check
rm -rf "$work"
mkdir -p "$work"
cp "$setup" "$work/setup.exe"
cp "$out/sapi_voice_check.exe" "$work/"
[ "$with_x86" = 1 ] && cp "$out/x86/sapi_voice_check.exe" "$work/sapi_voice_check32.exe"

# The Linux reference, with a registry of its own and the same voice files.
export SONVALE_REGISTRY=$work/linux-registry.reg
"$sonvale" register >/dev/null || die "sonvale register failed"
"$sonvale" voice install REZuroruRadarorud "$out/voice" >/dev/null || die "sonvale voice install failed"
"$sonvale" speak -o "$work/linux.wav" "$text" || die "sonvale speak failed"

# shellcheck source-path=SCRIPTDIR source=wine10_env.sh
source "$root/scripts/wine10_env.sh" || die "the Wine 10 environment could not be set up"
prefix=$SONVALE_WINE10_ROOT$SONVALE_WINE10_PREFIX
program_files="C:\\Program Files\\Sonvale"

# What the setup may leave behind: the files of the program folders and the
# names of all registry keys (both views: system.reg holds Wow6432Node too).
snapshot() {
  wine10_wait >/dev/null 2>&1 || true
  (cd "$prefix/drive_c" && find "Program Files" "Program Files (x86)" ProgramData -print 2>/dev/null | sort)
  sed -n 's/^\(\[[^]]*\]\).*/\1/p' "$prefix/system.reg" | sort
}
# A copy left by an earlier, interrupted run goes first; so do the engine's
# class keys that other checks register in this prefix.
if [ -f "$prefix/drive_c/Program Files/Sonvale/uninstall.exe" ]; then
  wine10_run wine64 "$program_files\\uninstall.exe" /S >/dev/null 2>&1 || true
fi
wine10_run wine64 regsvr32 /u /s "$(windows_path "$out/Sonvale.dll")" >/dev/null 2>&1 || true
for key in "$token" 'HKCR\TypeLib\{29A849BC-AF2B-4490-BA41-898BDA7AD03F}'; do
  for view in 64 32; do wine10_run wine64 reg delete "$key" /f "/reg:$view" >/dev/null 2>&1 || true; done
done
snapshot >"$work/before.txt"

say "running the setup silently"
status=0
wine10_run wine64 "$(windows_path "$work/setup.exe")" /S || status=$?
wine10_wait >/dev/null 2>&1 || true
if [ "$status" -eq 0 ]; then pass "setup /S exits 0"; else fail "setup /S exits 0" "exit status $status"; fi
installed=(Sonvale.dll sonvale-install.exe uninstall.exe voice/voice.def voice/voice.dat voice/voice.wrd)
[ "$with_x86" = 1 ] && installed+=(x86/Sonvale.dll x86/sonvale-install.exe)
for f in "${installed[@]}"; do
  if [ -f "$prefix/drive_c/Program Files/Sonvale/$f" ]; then pass "installed $f"; else fail "installed $f"; fi
done

reg_has() {  # key value expected view
  local found
  found=$(wine10_run wine64 reg query "$1" /v "$2" "/reg:$4" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p") || true
  if [ "$found" = "$3" ]; then pass "$4-bit view: $1 [$2] = $3"; else fail "$4-bit view: $1 [$2] = $3" "found \"$found\""; fi
}
# Whether this Wine runs 32-bit programs at all (a usage error exits 2).
runs_x86=0
if [ "$with_x86" = 1 ]; then
  status=0
  wine10_run wine64 "$program_files\\x86\\sonvale-install.exe" /no-such-option >/dev/null 2>&1 || status=$?
  if [ "$status" -eq 2 ]; then
    runs_x86=1
  else
    echo "skip the 32-bit view and client: this Wine runs no 32-bit program (status $status)"
  fi
fi
views=(64)
[ "$runs_x86" = 1 ] && views+=(32)
for view in "${views[@]}"; do
  reg_has "$token\\UI\\EngineProperties" CLSID "$ui_clsid" "$view"
  reg_has "$token" VoiceDef "$program_files\\voice\\voice.def" "$view"
done
reg_has "$uninstall_key" UninstallString "\"$program_files\\uninstall.exe\"" 64

speak() {  # program label
  local status=0
  rm -f "$work/windows.wav"
  wine10_run wine64 "$(windows_path "$work/$1")" --voice REZuroruRadarorud --text "$text" \
    "$(windows_path "$work/windows.wav")" >/dev/null || status=$?
  if [ "$status" -eq 0 ] && [ -f "$work/windows.wav" ] &&
     python3 "$root/scripts/compare_wav.py" "$work/linux.wav" "$work/windows.wav" 200 >"$work/compare-$2.txt" 2>&1 &&
     grep -q 'differing: 0,' "$work/compare-$2.txt"; then
    pass "$2 speech client: the installed voice speaks as on Linux, bit for bit"
  else
    fail "$2 speech client: the installed voice speaks as on Linux, bit for bit" \
      "status $status; $(tail -n 2 "$work/compare-$2.txt" 2>/dev/null | tr '\n' ' ')"
  fi
}
speak sapi_voice_check.exe 64-bit
[ "$runs_x86" = 1 ] && speak sapi_voice_check32.exe 32-bit

say "changing a setting, then running the setup again over the installed copy"
wine10_run wine64 reg add "$token\\UI\\EngineProperties" /v ReadNumber /t REG_DWORD /d 1 /f /reg:64 >/dev/null
status=0
wine10_run wine64 "$(windows_path "$work/setup.exe")" /S || status=$?
wine10_wait >/dev/null 2>&1 || true
if [ "$status" -eq 0 ]; then pass "setup /S over the installed copy exits 0"; else fail "setup /S over the installed copy exits 0" "exit status $status"; fi
reg_has "$token\\UI\\EngineProperties" ReadNumber 0x1 64
reg_has "$token\\UI\\EngineProperties" CLSID "$ui_clsid" 64

say "uninstalling silently"
status=0
wine10_run wine64 "$program_files\\uninstall.exe" /S || status=$?
# The uninstaller copies itself to the temporary folder and runs from there.
sleep 2
wine10_wait >/dev/null 2>&1 || true
if [ "$status" -eq 0 ]; then pass "uninstall.exe /S exits 0"; else fail "uninstall.exe /S exits 0" "exit status $status"; fi
snapshot >"$work/after.txt"
if diff -u "$work/before.txt" "$work/after.txt" >"$work/left.diff"; then
  pass "the uninstaller leaves no file and no key ($(wc -l <"$work/before.txt") names listed before and after)"
else
  fail "the uninstaller leaves no file and no key" "$(grep '^[-+][^-+]' "$work/left.diff" | head -n 20 | tr '\n' ' ')"
fi

say "done in $((SECONDS - started)) s"
if [ "$failures" -eq 0 ]; then echo "test-windows-setup: all checks passed"; else echo "test-windows-setup: $failures check(s) failed"; fi
[ "$failures" -eq 0 ]
