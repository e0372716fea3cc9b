#!/usr/bin/env bash
# Checks Sonvale.dll under Wine: self-registration with regsvr32 and every
# key and value it writes, the COM server's behaviour through the system's
# COM (tests/windows/com_server_check.cpp), registration twice, and
# unregistration. Prints one line per check; exits non-zero when any fails.
#
#   scripts/build_windows.sh && scripts/test_windows.sh
#
#   SONVALE_WINDOWS_BUILD   build directory (build-windows in the repository);
#                           the programs are taken from its out/
#   SONVALE_WINEPREFIX      the Wine prefix (wineprefix-com/ in the build
#                           directory: a prefix of its own, because other
#                           Windows tests register the module and change the
#                           voice's settings in theirs)
#   SONVALE_VOICE_DIR       a voice (voice.def, voice.dat, voice.wrd) to speak
#                           a sentence with (out/voice when that holds one);
#                           without one the speaking and installer checks fail
#   SONVALE_LINUX_BUILD     the Linux build whose tools/sonvale speaks the same
#                           sentence for comparison (build)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SONVALE_WINDOWS_BUILD:-$root/build-windows}
out=$build/out

die() { printf 'test-windows: error: %s\n' "$*" >&2; exit 2; }
[ -f "$out/Sonvale.dll" ] || die "$out/Sonvale.dll is missing: run scripts/build_windows.sh first"
[ -f "$out/com_server_check.exe" ] || die "$out/com_server_check.exe is missing: run scripts/build_windows.sh first"

export SONVALE_WINEPREFIX=${SONVALE_WINEPREFIX:-$build/wineprefix-com}
# Sets WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES, starts Xvfb when there is
# no display, makes the prefix once and switches off the crash dialog;
# wine_env_stop ends what it started.
# shellcheck source=wine_env.sh
source "$root/scripts/wine_env.sh" || die "the Wine environment could not be set up"
trap wine_env_stop EXIT

readonly engine_clsid='{4197759E-4B4C-4DC9-B9B7-13B5E89125A7}'
readonly ui_clsid='{82B88068-DFB4-4284-A3F4-C388B2EAB665}'
readonly libid='{29A849BC-AF2B-4490-BA41-898BDA7AD03F}'

failures=0
pass() { printf 'ok   %s\n' "$1"; }
fail() {
  printf 'FAIL %s\n' "$1"
  [ $# -gt 1 ] && printf '       %s\n' "${@:2}"
  failures=$((failures + 1))
}

# Every Wine call is bounded: a hung program fails its check instead of the run.
w() { timeout 120 "$SONVALE_WINE" "$@"; }

# The data of one value, or nothing (status 1) when the key or value is
# missing. `name` empty means the key's default value.
reg_value() {
  local key=$1 name=$2 output
  if [ -z "$name" ]; then
    output=$(w reg query "$key" /ve 2>/dev/null) || return 1
  else
    output=$(w reg query "$key" /v "$name" 2>/dev/null) || return 1
  fi
  # "    NAME    REG_SZ    DATA" (the default value's NAME is "(Default)").
  printf '%s\n' "$output" | tr -d '\r' | sed -n 's/^    .*    REG_SZ    //p; s/^    .*    REG_SZ$//p' | head -n 1
}

key_exists() { w reg query "$1" >/dev/null 2>&1; }

expect_value() {
  local key=$1 name=$2 expected=$3 found label
  label="HKCR\\$key${name:+ [$name]} = \"$expected\""
  if found=$(reg_value "HKCR\\$key" "$name"); then
    if [ "$found" = "$expected" ]; then pass "$label"; else fail "$label" "found \"$found\""; fi
  else
    fail "$label" "the value is missing"
  fi
}

expect_key() {
  if key_exists "HKCR\\$1"; then pass "HKCR\\$1 exists"; else fail "HKCR\\$1 exists"; fi
}

expect_no_key() {
  if key_exists "HKCR\\$1"; then fail "HKCR\\$1 is gone"; else pass "HKCR\\$1 is gone"; fi
}

# Every value of the table of what registration writes (tests/registration_keys.tsv,
# shared with the Linux tests), with the module's Windows path filled in.
expect_registration_keys() {
  local line key rest name data
  # The table comes in on descriptor 3: Wine may read standard input.
  while IFS= read -r line <&3; do
    case $line in '' | '#'*) continue ;; esac
    key=${line%%$'\t'*}
    rest=${line#*$'\t'}
    name=${rest%%$'\t'*}
    data=${rest#*$'\t'}
    data=${data//'{MODULE}'/"$module_path"}
    data=${data//'{HELPDIR}'/"$help_dir"}
    key=${key//'{SYSKIND}'/win64}
    # FLAGS is written by the system's RegisterTypeLib from the library it
    # loaded (Wine adds LIBFLAG_FHASDISKIMAGE, 8), not by the module's table.
    if [ "$name" = "" ] && [ "${key##*\\}" = FLAGS ]; then
      expect_key "$key"
      continue
    fi
    expect_value "$key" "$name" "$data"
  done 3<"$root/tests/registration_keys.tsv"
}

cd "$out"
module_path=$(w winepath -w "$out/Sonvale.dll" 2>/dev/null | tr -d '\r')
[ -n "$module_path" ] || die "winepath could not name $out/Sonvale.dll"
help_dir=${module_path%\\*}\\

echo "== registration: wine regsvr32 /s Sonvale.dll"
# A registration left over from an earlier run must not make this one pass.
w regsvr32 /u /s Sonvale.dll >/dev/null 2>&1 || true
if w regsvr32 /s Sonvale.dll; then pass "regsvr32 /s Sonvale.dll"; else fail "regsvr32 /s Sonvale.dll" "exit status $?"; fi

echo "== the keys registration writes"
expect_registration_keys
expect_key "CLSID\\$ui_clsid\\Programmable"
if key_exists "HKCR\\CLSID\\$engine_clsid\\Programmable"; then
  fail "KelvaneObj has no Programmable key"
else
  pass "KelvaneObj has no Programmable key"
fi

echo "== the COM server through the system's COM: com_server_check.exe"
if w com_server_check.exe; then pass "com_server_check.exe"; else fail "com_server_check.exe" "exit status $?"; fi

voice_dir=${SONVALE_VOICE_DIR:-}
[ -z "$voice_dir" ] && [ -f "$out/voice/voice.def" ] && voice_dir=$out/voice
if [ -n "$voice_dir" ]; then
  echo "== speaking with the voice in $voice_dir: speak_check.exe"
  speech=$build/speak_check
  mkdir -p "$speech"
  # Markup with bookmarks between words and after punctuation: the marks must
  # arrive where the Linux build reports them and add nothing to the audio.
  printf '%s' '<bookmark mark="0"/>你好，<bookmark mark="1"/>今天<bookmark mark="2"/>天氣好好。<bookmark mark="3"/>我哋<bookmark mark="4"/>下晝三點<bookmark mark="5"/>去飲茶，一共 25.5 蚊！<bookmark mark="6"/>' >"$speech/text.txt"
  rm -f "$speech/speech.wav" "$speech/speech.events.txt"
  # The engine's default settings, so the result compares with a default run
  # of the Linux build (sonvale speak -f text.txt -o speech.wav --events ...).
  w reg delete 'HKLM\Software\Microsoft\Speech\Voices\Tokens\REZuroruRadarorud\UI\EngineProperties' /f \
    >/dev/null 2>&1 || true
  windows_voice=$(w winepath -w "$voice_dir" 2>/dev/null | tr -d '\r')
  if w "$out/speak_check.exe" "$windows_voice" "$(w winepath -w "$speech/text.txt" | tr -d '\r')" \
       "$(w winepath -w "$speech/speech" | tr -d '\r')"; then
    pass "speak_check.exe wrote $speech/speech.wav and speech.events.txt"
  else
    fail "speak_check.exe" "exit status $?"
  fi
  # 11025 Hz, 16-bit: a spoken sentence is far more than its 44-byte header.
  size=$(stat -c %s "$speech/speech.wav" 2>/dev/null || echo 0)
  if [ "$size" -gt 22050 ]; then pass "the WAV holds audio ($size bytes)"; else fail "the WAV holds audio" "$size bytes"; fi
  if grep -q '^sentence ' "$speech/speech.events.txt" 2>/dev/null && grep -q '^word ' "$speech/speech.events.txt"; then
    pass "sentence and word events were recorded"
  else
    fail "sentence and word events were recorded"
  fi
  # The same text through the Linux build, with the same voice files and
  # default settings (a registry store of its own).
  linux_cli=${SONVALE_LINUX_BUILD:-$root/build}/tools/sonvale
  if [ -x "$linux_cli" ]; then
    export SONVALE_REGISTRY=$speech/linux.reg
    rm -f "$SONVALE_REGISTRY"
    if "$linux_cli" register >/dev/null 2>&1 && "$linux_cli" voice install REZuroruRadarorud "$voice_dir" >/dev/null 2>&1 &&
       "$linux_cli" speak -f "$speech/text.txt" -o "$speech/linux.wav" --events "$speech/linux.events.json"; then
      pass "the Linux build spoke the same text"
      # Events: kind, audio offset, length and position in code units (the
      # text is all in the Basic Multilingual Plane, so characters are code
      # units); for bookmarks, kind, audio offset, value and name.
      if python3 - "$speech/linux.events.json" "$speech/speech.events.txt" <<'PY'
import json, sys
linux = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
# A bookmark: its offset, value and name.
linux = ["%s %d %d %s" % (e["event"], e["offset"], e["value"], e["name"]) if e["event"] == "bookmark"
         else "%s %d %d %d" % (e["event"], e["offset"], e["len"], e["pos"]) for e in linux]
windows = [line.strip() for line in open(sys.argv[2], encoding="utf-8") if line.strip()]
if linux != windows:
    for i, (a, b) in enumerate(zip(linux + [""] * len(windows), windows + [""] * len(linux))):
        if a != b:
            print("       event %d: Linux '%s', Windows '%s'" % (i, a, b))
            break
    sys.exit(1)
print("       %d events" % len(linux))
PY
      then pass "the same events as the Linux build"; else fail "the same events as the Linux build"; fi
      # Audio: the same length, and the difference at least 60 dB below the
      # signal (floating-point transforms may round differently).
      if python3 "$root/scripts/compare_wav.py" "$speech/linux.wav" "$speech/speech.wav" 60 | sed 's/^/       /'
      then pass "the same audio as the Linux build"; else fail "the same audio as the Linux build"; fi
    else
      fail "the Linux build spoke the same text"
    fi
    unset SONVALE_REGISTRY
  else
    fail "the Linux build spoke the same text" "$linux_cli is missing"
  fi
else
  fail "speaking" "no voice: set SONVALE_VOICE_DIR or put one in $out/voice (scripts/build_windows.sh copies the default voice)"
fi

echo "== registration twice replaces the class keys"
w reg add "HKCR\\CLSID\\$engine_clsid\\Stale" /f >/dev/null 2>&1 || true
w reg add "HKCR\\CLSID\\$ui_clsid\\InprocServer32" /v Stale /d left /f >/dev/null 2>&1 || true
if w regsvr32 /s Sonvale.dll; then pass "second regsvr32 /s Sonvale.dll"; else fail "second regsvr32 /s Sonvale.dll"; fi
expect_no_key "CLSID\\$engine_clsid\\Stale"
if reg_value "HKCR\\CLSID\\$ui_clsid\\InprocServer32" Stale >/dev/null; then
  fail "the stale value under KelvaneUI's InprocServer32 is gone"
else
  pass "the stale value under KelvaneUI's InprocServer32 is gone"
fi
expect_value "CLSID\\$engine_clsid\\InprocServer32" "" "$module_path"
expect_value "CLSID\\$ui_clsid\\InprocServer32" "ThreadingModel" "both"

echo "== unregistration: wine regsvr32 /u /s Sonvale.dll"
if w regsvr32 /u /s Sonvale.dll; then pass "regsvr32 /u /s Sonvale.dll"; else fail "regsvr32 /u /s Sonvale.dll"; fi
for name in KelvaneObj KelvaneUI; do
  expect_no_key "Kelvane.$name.1"
  expect_no_key "Kelvane.$name"
done
expect_no_key "CLSID\\$engine_clsid"
expect_no_key "CLSID\\$ui_clsid"
expect_no_key "TypeLib\\$libid"
expect_key "CLSID"
if w regsvr32 /u /s Sonvale.dll; then
  pass "regsvr32 /u of a module that is not registered succeeds"
else
  fail "regsvr32 /u of a module that is not registered succeeds" "exit status $?"
fi

if [ ! -f "$out/voice/voice.def" ]; then
  fail "the installer" "no voice in $out/voice to install (scripts/build_windows.sh copies the default voice)"
else
  echo "== the installer: sonvale-install.exe, then sonvale-install.exe /u"
  token='HKLM\SOFTWARE\Microsoft\Speech\Voices\Tokens\REZuroruRadarorud'
  expect_token_value() {
    local key=$1 name=$2 expected=$3 found label
    label="$key${name:+ [$name]} = \"$expected\""
    if found=$(reg_value "$key" "$name"); then
      if [ "$found" = "$expected" ]; then pass "$label"; else fail "$label" "found \"$found\""; fi
    else
      fail "$label" "the value is missing"
    fi
  }
  w reg delete "$token" /f >/dev/null 2>&1 || true
  if w sonvale-install.exe >/dev/null; then pass "sonvale-install.exe"; else fail "sonvale-install.exe" "exit status $?"; fi
  voice_folder=$(w winepath -w "$out/voice" 2>/dev/null | tr -d '\r')
  expect_token_value "$token" "" "Sonvale Cantonese (Hong Kong) - female"
  expect_token_value "$token" CLSID "$engine_clsid"
  expect_token_value "$token" VoiceDef "$voice_folder\\voice.def"
  expect_token_value "$token" VoiceData "$voice_folder\\voice.dat"
  expect_token_value "$token" VoiceWord "$voice_folder\\voice.wrd"
  expect_token_value "$token\\Attributes" Language C04
  expect_token_value "$token\\Attributes" Gender Female
  expect_token_value "$token\\UI\\EngineProperties" CLSID "$ui_clsid"
  expect_value "CLSID\\$engine_clsid\\InprocServer32" "" "$module_path"
  # A voice folder whose name is not in the ANSI code page: the installer
  # takes its arguments as UTF-16.
  wide_folder=$build/wine-voice-語音
  rm -rf "$wide_folder"
  cp -r "$out/voice" "$wide_folder"
  wide_voice=$(w winepath -w "$wide_folder" 2>/dev/null | tr -d '\r')
  if w sonvale-install.exe /voice "$wide_voice" >/dev/null; then
    pass "sonvale-install.exe /voice $wide_voice"
  else
    fail "sonvale-install.exe /voice $wide_voice" "exit status $?"
  fi
  # reg query prints in the console's code page: the exported key is UTF-16.
  wide_export=$build/wine-voice-token.reg
  label="$token [VoiceDef] = \"$wide_voice\\voice.def\""
  if w reg export "$token" "$(w winepath -w "$wide_export" 2>/dev/null | tr -d '\r')" /y >/dev/null 2>&1 &&
     iconv -f UTF-16 -t UTF-8 "$wide_export" | tr -d '\r' |
       grep -qxF "\"VoiceDef\"=\"${wide_voice//\\/\\\\}\\\\voice.def\""; then
    pass "$label"
  else
    fail "$label" "$(iconv -f UTF-16 -t UTF-8 "$wide_export" 2>/dev/null | grep VoiceDef || echo "no token exported")"
  fi
  rm -rf "$wide_folder" "$wide_export"
  if w sonvale-install.exe /u >/dev/null; then pass "sonvale-install.exe /u"; else fail "sonvale-install.exe /u" "exit status $?"; fi
  if key_exists "$token"; then fail "$token is gone"; else pass "$token is gone"; fi
  expect_no_key "CLSID\\$engine_clsid"
fi

echo
if [ "$failures" -eq 0 ]; then
  echo "test-windows: all checks passed"
else
  echo "test-windows: $failures check(s) failed"
fi
[ "$failures" -eq 0 ]
