#!/usr/bin/env bash
# Installs what Sonvale needs from Debian's packages and builds it into build/.
# Run as root (or with sudo available) on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libfftw3-dev libmpg123-dev libmp3lame-dev libsoxr-dev libsndfile1-dev
          speech-dispatcher libspeechd-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${SONVALE_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir"

# The speech-dispatcher module, for screen readers such as Orca, installed for
# the user who asked for the set-up (and for the sudo user behind root).
module="$build_dir/modules/speechd/sd_sonvale"
if [ -x "$module" ]; then
  modules/speechd/install_user.sh "$module" >/dev/null
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
    sudo -u "$SUDO_USER" -H modules/speechd/install_user.sh "$module" >/dev/null
  fi
fi
