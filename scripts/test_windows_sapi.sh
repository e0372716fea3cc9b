#!/usr/bin/env bash
# Speaks one Cantonese sentence with Sonvale.dll through the speech API of
# Wine 10 (SpVoice: SetVoice with a registered voice token, SetOutput with an
# audio object of our own, Speak) and compares the audio with what the Linux
# build says for the same sentence: the same format and length, and a
# signal-to-noise ratio of at least 60 dB. Then speaks the sentence again as
# the speech API's markup with a bookmark between every word: the audio must
# match the unmarked sentence's and every bookmark must arrive at the byte
# offset the Linux build reports for it. Exits 0 when both hold, 1 when a
# check fails, 2 when something it needs is missing. Needs root (the Wine 10
# chroot of scripts/wine10_env.sh: made once, about 2 minutes).
#
#   scripts/build_windows.sh && scripts/test_windows_sapi.sh
#
#   SONVALE_WINDOWS_BUILD   Windows build directory (build-windows in the
#                           repository); Sonvale.dll is taken from its out/
#   SONVALE_BUILD           Linux build directory (build): tools/sonvale
#   SONVALE_VOICE_DIR       the voice (voice.def, voice.dat, voice.wrd) both
#                           sides speak with; by default the first folder that
#                           holds one of: out/, out/voice/ of the Windows
#                           build, voices/default/ of the Linux build
#   SONVALE_SAPI_TEXT       the sentence (UTF-8) to speak
#   SONVALE_SAPI_MARKED     the same sentence with <bookmark mark="N"/> tags
#   SONVALE_WAIT_FOR_DLL    seconds to wait for out/Sonvale.dll to appear (0)
#
# Its files (copies of the DLL and the voice, the check program, both WAV
# files, a private registry for the Linux side) are in sapi-check/ of the
# Windows build directory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SONVALE_WINDOWS_BUILD:-$root/build-windows}
linux_build=${SONVALE_BUILD:-$root/build}
text=${SONVALE_SAPI_TEXT:-今日天氣好好，我哋去飲茶，食咗3籠點心。}
marked=${SONVALE_SAPI_MARKED:-'今日<bookmark mark="1"/>天氣<bookmark mark="2"/>好好，<bookmark mark="3"/>我哋<bookmark mark="4"/>去<bookmark mark="5"/>飲茶，<bookmark mark="6"/>食咗<bookmark mark="7"/>3籠<bookmark mark="8"/>點心。<bookmark mark="9"/>'}
wait_s=${SONVALE_WAIT_FOR_DLL:-0}
min_snr_db=60

readonly engine_clsid='{4197759E-4B4C-4DC9-B9B7-13B5E89125A7}'
readonly token_name=Sonvale-test
readonly voice_display='Sonvale Cantonese (Hong Kong) - female'
readonly token_key="HKLM\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\$token_name"

say() { printf 'test-windows-sapi: %s\n' "$*" >&2; }
die() { printf 'test-windows-sapi: error: %s\n' "$*" >&2; exit 2; }
fail() { printf 'test-windows-sapi: FAIL: %s\n' "$*" >&2; exit 1; }

# The Windows name of a file under the bind-mounted build directory: the
# chroot sees it at the same path, and Wine's Z: drive is /.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

started=$SECONDS
dll=$build/out/Sonvale.dll
if [ ! -f "$dll" ] && [ "$wait_s" -gt 0 ]; then
  say "waiting up to $wait_s s for $dll"
  deadline=$((SECONDS + wait_s))
  while [ ! -f "$dll" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 10; done
fi
[ -f "$dll" ] || die "$dll is missing: run scripts/build_windows.sh first"
sonvale=$linux_build/tools/sonvale
[ -x "$sonvale" ] || die "$sonvale is missing: build the Linux tree first"
has_voice() { [ -f "$1/voice.def" ] && [ -f "$1/voice.dat" ] && [ -f "$1/voice.wrd" ]; }
voice_dir=${SONVALE_VOICE_DIR:-}
if [ -z "$voice_dir" ]; then
  for candidate in "$build/out" "$build/out/voice" "$linux_build/voices/default"; do
    if has_voice "$candidate"; then voice_dir=$candidate; break; fi
  done
  [ -n "$voice_dir" ] ||
    die "no voice in $build/out, $build/out/voice or $linux_build/voices/default (set SONVALE_VOICE_DIR or build the default_voice target)"
fi
has_voice "$voice_dir" || die "$voice_dir does not hold voice.def, voice.dat and voice.wrd"
say "voice: $voice_dir"
command -v python3 >/dev/null || die "python3 is needed for the comparison"

work=$build/sapi-check
mkdir -p "$work/bin" "$work/voice"
rm -f "$work"/windows*.wav "$work"/linux*.wav "$work"/*-marks.txt
# Copies, so that a rebuild running meanwhile cannot swap the DLL under Wine,
# and so that everything Wine needs lies inside the bind-mounted directory.
cp "$dll" "$work/bin/Sonvale.dll"
for file in voice.def voice.dat voice.wrd; do
  cmp -s "$voice_dir/$file" "$work/voice/$file" || cp "$voice_dir/$file" "$work/voice/$file"
done

# The check program, from the Windows build.
check_exe=$work/bin/sapi_voice_check.exe
[ -f "$build/out/sapi_voice_check.exe" ] || die "$build/out/sapi_voice_check.exe is missing: run scripts/build_windows.sh first"
cp "$build/out/sapi_voice_check.exe" "$check_exe"

# The Linux reference, with a registry of its own: default settings, this
# voice, this build's module.
say "speaking on Linux"
export SONVALE_REGISTRY=$work/linux-registry.reg
rm -f "$SONVALE_REGISTRY"
"$sonvale" register >/dev/null || die "sonvale register failed"
"$sonvale" voice install "$token_name" "$voice_dir" --display "$voice_display" >/dev/null ||
  die "sonvale voice install failed"
"$sonvale" speak --voice "$token_name" -o "$work/linux.wav" "$text" ||
  die "sonvale speak failed"
"$sonvale" speak --voice "$token_name" --xml -o "$work/linux-marked.wav" --events "$work/linux-events.json" \
  "$marked" || die "sonvale speak --xml failed"
python3 - "$work/linux-events.json" >"$work/linux-marks.txt" <<'PY' || die "no bookmark events from the Linux build"
import json, sys
marks = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
marks = [m for m in marks if m["event"] == "bookmark"]
if not marks:
    sys.exit(1)
for m in marks:
    print(m["name"], m["offset"])
PY

# shellcheck source-path=SCRIPTDIR source=wine10_env.sh
source "$root/scripts/wine10_env.sh" || die "the Wine 10 environment could not be set up"
env_ready=$SECONDS

say "registering $(windows_path "$work/bin/Sonvale.dll")"
wine10_run wine64 regsvr32 /s "$(windows_path "$work/bin/Sonvale.dll")" ||
  fail "regsvr32 Sonvale.dll failed (status $?)"

say "writing the voice token $token_key"
reg_add() { wine10_run wine64 reg add "$@" /f >/dev/null || fail "reg add $* failed"; }
wine10_run wine64 reg delete "$token_key" /f >/dev/null 2>&1 || true
reg_add "$token_key" /ve /t REG_SZ /d "$voice_display"
reg_add "$token_key" /v CLSID /t REG_SZ /d "$engine_clsid"
reg_add "$token_key" /v VoiceDef /t REG_SZ /d "$(windows_path "$work/voice/voice.def")"
reg_add "$token_key" /v VoiceData /t REG_SZ /d "$(windows_path "$work/voice/voice.dat")"
reg_add "$token_key" /v VoiceWord /t REG_SZ /d "$(windows_path "$work/voice/voice.wrd")"
reg_add "$token_key\\Attributes" /v Language /t REG_SZ /d C04
reg_add "$token_key\\Attributes" /v Gender /t REG_SZ /d Female
reg_add "$token_key\\Attributes" /v Age /t REG_SZ /d Adult
reg_add "$token_key\\Attributes" /v Name /t REG_SZ /d "$voice_display"
reg_add "$token_key\\Attributes" /v Vendor /t REG_SZ /d Sonvale
# The engine's settings key stays as the engine makes it: defaults, as on the
# Linux side.

say "speaking through SpVoice under Wine 10"
speak_started=$SECONDS
status=0
wine10_run wine64 "$(windows_path "$check_exe")" -v --voice "$token_name" --text "$text" \
  "$(windows_path "$work/windows.wav")" || status=$?
speak_s=$((SECONDS - speak_started))
[ "$status" -eq 0 ] || fail "sapi_voice_check.exe exited with status $status"
[ -f "$work/windows.wav" ] || fail "sapi_voice_check.exe wrote no $work/windows.wav"

say "comparing $work/windows.wav with $work/linux.wav"
python3 "$root/scripts/compare_wav.py" "$work/linux.wav" "$work/windows.wav" "$min_snr_db" || exit 1

say "speaking the sentence with a bookmark between every word"
status=0
wine10_run wine64 "$(windows_path "$check_exe")" --voice "$token_name" --xml --text "$marked" \
  --marks "$(windows_path "$work/windows-marks.txt")" "$(windows_path "$work/windows-marked.wav")" || status=$?
if [ "$status" -eq 3 ]; then
  # Wine's SpVoice answers markup with E_NOTIMPL; test_windows.sh speaks
  # marked text with Sonvale.dll through a site of its own and compares the
  # bookmarks' offsets and the audio with Linux instead.
  say "this SpVoice does not read markup: bookmarks are checked by test_windows.sh (speak_check.exe)"
  say "ok: Wine 10 set-up $((env_ready - started)) s, speaking $speak_s s, all $((SECONDS - started)) s"
  exit 0
fi
[ "$status" -eq 0 ] || fail "sapi_voice_check.exe --xml exited with status $status"
say "comparing $work/windows-marked.wav with the unmarked $work/linux.wav"
python3 "$root/scripts/compare_wav.py" "$work/linux.wav" "$work/windows-marked.wav" "$min_snr_db" ||
  fail "the bookmarks changed the audio"
if [ -f "$work/windows-marks.txt" ]; then
  diff -u "$work/linux-marks.txt" "$work/windows-marks.txt" >&2 ||
    fail "the bookmarks arrived at other offsets than on Linux (names and byte offsets above)"
  say "$(wc -l <"$work/windows-marks.txt") bookmarks at the offsets the Linux build reports"
else
  say "this SpVoice passes no events to its clients: the bookmarks' offsets are checked against Linux by test_windows.sh, which drives Sonvale.dll with a site of its own"
fi

say "ok: Wine 10 set-up $((env_ready - started)) s, speaking $speak_s s, all $((SECONDS - started)) s"
