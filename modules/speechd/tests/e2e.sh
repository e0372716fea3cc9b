#!/bin/sh
# End to end: a real speech-dispatcher, started for this user with a
# configuration of its own, loads sd_sonvale with a voice that this script
# builds from synthetic units, and `spd-say -o sonvale -l yue` speaks through
# it: once with the server's audio (libao's null driver, so no sound card is
# needed) and once with the module's own file output.
#
# usage: e2e.sh SD_SONVALE SONVALE_CLI MAKE_TEST_VOICE
# Exit status: 0 spoken, 1 failed, 77 speech-dispatcher or spd-say is not
# installed (1 instead when SONVALE_REQUIRE_SPEECHD=1, which the test command
# sets where it installs them).
set -u

module=$1
cli=$2
maker=$3
here=$(cd "$(dirname "$0")" && pwd)
text="我哋講廣東話"

skip() {
  if [ "${SONVALE_REQUIRE_SPEECHD:-}" = 1 ]; then
    echo "FAIL: $* (SONVALE_REQUIRE_SPEECHD=1 requires it)"
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  for f in "$work"/log/*.log; do
    [ -f "$f" ] || continue
    echo "--- $f (last lines)"
    tail -n 40 "$f"
  done
  exit 1
}

command -v speech-dispatcher >/dev/null 2>&1 || skip "speech-dispatcher is not installed"
command -v spd-say >/dev/null 2>&1 || skip "spd-say is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/sd_sonvale_e2e.XXXXXX") || { echo "FAIL: no temporary directory"; exit 1; }
server=""
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Everything the server, the client and the module look at lives in $work.
export HOME="$work/home"
export XDG_RUNTIME_DIR="$work/run"
export XDG_CONFIG_HOME="$work/config"
export SONVALE_REGISTRY="$work/registry.reg"
# Nothing installed on this machine for every user shows through.
export SONVALE_SYSTEM_REGISTRY="$work/machine.reg"
unset SPEECHD_ADDRESS SONVALE_DUMP_DIR
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$work/conf/modules" "$work/log" "$work/voice"
chmod 700 "$XDG_RUNTIME_DIR"

"$maker" "$work/voice" "$text" || fail "cannot build the test voice"
"$cli" voice install e2e "$work/voice" >"$work/log/install.log" 2>&1 || fail "cannot install the test voice"
"$cli" register >"$work/log/register.log" 2>&1 || fail "cannot register the engine"

cat >"$work/conf/modules/sonvale.conf" <<EOF
SonvaleVoice "e2e"
SonvaleRegistry "$SONVALE_REGISTRY"
EOF
cat >"$work/conf/modules/sonvale-file.conf" <<EOF
SonvaleVoice "e2e"
SonvaleRegistry "$SONVALE_REGISTRY"
SonvaleAudioOutput "file"
SonvaleAudioFile "$work/out.raw"
EOF
# The AddModule and LanguageDefaultModule lines the set-up installs, with the
# module's path, and a second module with file output as the default, so that
# only the language sends a message without -o to "sonvale".
cat >"$work/conf/speechd.conf" <<EOF
LogLevel 4
AudioOutputMethod "libao"
AddModule "sonvale-file" "$module" "sonvale-file.conf"
DefaultModule sonvale-file
EOF
sed "s|\"sd_sonvale\"|\"$module\"|" "$here/../speechd-sonvale.conf" >>"$work/conf/speechd.conf"
grep -q "^AddModule \"sonvale\" \"$module\"" "$work/conf/speechd.conf" || fail "no AddModule line for sonvale"
# The server plays its audio through libao; its null driver needs no device.
echo "default_driver=null" >"$HOME/.libao"

speech-dispatcher -s -t 60 -C "$work/conf" -L "$work/log" -P "$work/speechd.pid" >"$work/log/server-output.log" 2>&1 &
server=$!
socket="$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock"
i=0
while [ ! -S "$socket" ]; do
  if ! kill -0 "$server" 2>/dev/null; then
    server=""
    # Gone before it loaded any module: the configuration written above or
    # the environment; either way nothing was checked.
    grep -q "Initializing output module" "$work/log/speech-dispatcher.log" 2>/dev/null ||
      fail "speech-dispatcher ended before it loaded any module (its logs below)"
    fail "speech-dispatcher ended while loading the module"
  fi
  i=$((i + 1))
  [ $i -le 100 ] || fail "speech-dispatcher made no socket within 10 s"
  sleep 0.1
done
export SPEECHD_ADDRESS="unix_socket:$socket"

# The module answers to the Cantonese tags and lists its voice.
spd-say -o sonvale -L >"$work/voices.txt" 2>&1 || fail "spd-say -L failed: $(cat "$work/voices.txt")"
grep -q "e2e[[:space:]]*yue" "$work/voices.txt" || fail "the voice is not listed: $(cat "$work/voices.txt")"

# Speaks a number of samples greater than 0 for every message it ended, as its log shows.
spoken() {
  grep -c -E "message [0-9]+ ended: [0-9]+ marks, [1-9][0-9]* samples" "$work/log/$1.log"
}

timeout 30 spd-say -w -o sonvale -l yue "$text" || fail "spd-say -o sonvale -l yue did not finish"
timeout 30 spd-say -w -l zh-HK "$text" || fail "spd-say -l zh-HK did not finish"
n=$(spoken sonvale)
[ "$n" -ge 2 ] || fail "the module spoke $n of 2 messages through the server (-o sonvale -l yue, -l zh-HK)"
echo "server audio: $(grep -E 'message [0-9]+ ended' "$work/log/sonvale.log" | tail -n 1 | sed 's/.*sd_sonvale: //')"

timeout 30 spd-say -w -o sonvale-file -l zh-yue "$text" || fail "spd-say -o sonvale-file did not finish"
[ "$(spoken sonvale-file)" -ge 1 ] || fail "the module with file output spoke nothing"
bytes=$(wc -c <"$work/out.raw")
# Sounding samples (16-bit, little-endian, beyond a faint hiss): the closing
# silence alone would make a file of zeros. The six syllables sound for well
# over half a second at 11025 Hz.
sounding=$(od -An -v -td2 -w2 --endian=little "$work/out.raw" | awk '$1 > 64 || $1 < -64 { n++ } END { print n + 0 }')
[ "$sounding" -ge 5512 ] || fail "the module's file output ($bytes bytes) has $sounding sounding samples: silence"
echo "file output: $bytes bytes of audio, $sounding samples sounding"

# Marks between every two characters, one after a comma: the audio is the
# unmarked text's byte for byte, and each mark arrives after the audio that
# the engine places before it (the command's bookmark offsets, in bytes).
plain="我哋，講廣東話"
ssml="<speak>"
xml=""
i=0
for ch in 我 哋 ， 講 廣 東 話; do
  if [ $i -gt 0 ]; then
    ssml="$ssml<mark name=\"m$i\"/>"
    xml="$xml<bookmark mark=\"m$i\"/>"
  fi
  ssml="$ssml$ch"
  xml="$xml$ch"
  i=$((i + 1))
done
ssml="$ssml</speak>"
# The module keeps its file open and appends: each message is a byte range.
start=$(wc -c <"$work/out.raw")
timeout 30 spd-say -w -o sonvale-file -l zh-yue "$plain" || fail "spd-say of the unmarked text did not finish"
middle=$(wc -c <"$work/out.raw")
timeout 30 spd-say -w -x -o sonvale-file -l zh-yue "$ssml" || fail "spd-say -x of the marked text did not finish"
end=$(wc -c <"$work/out.raw")
[ $((middle - start)) -gt 0 ] || fail "the unmarked text gave no audio"
[ $((end - middle)) -eq $((middle - start)) ] && cmp -s -i "$start:$middle" -n $((middle - start)) "$work/out.raw" "$work/out.raw" ||
  fail "marks changed the audio: $((end - middle)) bytes against $((middle - start)) without marks"
grep -E "message [0-9]+ mark m[0-9]+ after" "$work/log/sonvale-file.log" | sed 's/.* mark \(m[0-9]*\) after \([0-9]*\) samples.*/\1 \2/' >"$work/marks.txt"
"$cli" speak --voice e2e --xml -o "$work/cli.wav" --events "$work/events.json" "$xml" >"$work/log/cli.log" 2>&1 || fail "the command cannot speak the marked text"
grep '"event":"bookmark"' "$work/events.json" |
  sed 's/.*"offset":\([0-9]*\).*"name":"\([^"]*\)".*/\2 \1/' | awk '{ print $1, $2 / 2 }' >"$work/expected.txt"
[ "$(wc -l <"$work/expected.txt")" -eq 6 ] || fail "the command reported $(wc -l <"$work/expected.txt") of 6 marks"
cmp -s "$work/marks.txt" "$work/expected.txt" ||
  fail "marks (name, samples before) $(tr '\n' ' ' <"$work/marks.txt") instead of $(tr '\n' ' ' <"$work/expected.txt")"
echo "marks: $(tr '\n' ' ' <"$work/marks.txt")"
echo "PASS"
exit 0
