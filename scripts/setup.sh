#!/usr/bin/env bash
# Installs what Sonvale needs from Debian's packages, builds it into build/,
# makes the default voice from open data and installs it. Run as root (or
# with sudo available) on Debian 12. Extra arguments go to CMake.
#
#   SONVALE_BUILD_DIR   the build folder (build)
#   SONVALE_VOICE=0     build no voice (the sanitizer build of scripts/test.sh)
#   SONVALE_INSTALL=0   build only: register nothing and install no voice for
#                       the user (scripts/build_deb.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
          libfftw3-dev libmpg123-dev libmp3lame-dev libsoxr-dev libsndfile1-dev libebur128-dev libbz2-dev
          libespeak-ng-dev rime-data-jyut6ping3 unicode-data libpulse-dev libpcaudio-dev pulseaudio pulseaudio-utils
          speech-dispatcher libspeechd-dev mingw-w64-tools clang libclang-rt-14-dev
          libx11-dev libxft-dev libfontconfig-dev libgtk-3-dev xvfb xdotool tmux fonts-wqy-zenhei xdg-utils
          help2man lintian debootstrap nsis)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build_dir=${SONVALE_BUILD_DIR:-build}
with_voice=${SONVALE_VOICE:-1}
voice_option=OFF
[ "$with_voice" = 1 ] && voice_option=ON
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONVALE_BUILD_VOICE="$voice_option" "$@" >/dev/null
cmake --build "$build_dir"

[ "${SONVALE_INSTALL:-1}" = 1 ] || exit 0

# The engine is reached as SAPI reaches it: registered, then created by its
# CLSID. A sanitized module is never registered: loaded into an ordinary
# process, its runtime would abort.
if ! grep -q '^SONVALE_SANITIZE:BOOL=ON$' "$build_dir/CMakeCache.txt"; then
  "$build_dir/tools/sonvale" register
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
    sudo -u "$SUDO_USER" -H "$build_dir/tools/sonvale" register
  fi
fi

if [ "$with_voice" = 1 ]; then
  # The default voice, made by the build above, becomes the installed default.
  "$build_dir/tools/sonvale" voice install REZuroruRadarorud "$build_dir/voices/default"

  # The speech-dispatcher module, for screen readers such as Orca, installed
  # for the user who asked for the set-up (and for the sudo user behind root).
  module="$build_dir/modules/speechd/sd_sonvale"
  modules/speechd/install_user.sh "$module" >/dev/null
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
    sudo -u "$SUDO_USER" -H modules/speechd/install_user.sh "$module" >/dev/null
  fi
fi
