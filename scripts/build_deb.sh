#!/usr/bin/env bash
# Builds the Debian package sonvale_VERSION_amd64.deb: installs what the build
# needs, builds Sonvale with its default voice into build/ (or
# $SONVALE_BUILD_DIR) for the prefix /usr, and packs the install with CPack.
# Registers and installs nothing on this machine. Run as root (or with sudo
# available) on Debian 12; prints the package's path last.
#
#   bash scripts/build_deb.sh && sudo apt install ./build/sonvale_*_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${SONVALE_BUILD_DIR:-build}

SONVALE_INSTALL=0 bash scripts/setup.sh -DCMAKE_INSTALL_PREFIX=/usr
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
rm -f "$build_dir"/sonvale_*_amd64.deb
(cd "$build_dir" && cpack -G DEB >cpack.log 2>&1) || { tail -n 30 "$build_dir/cpack.log" >&2; exit 1; }
package="$build_dir/sonvale_${version}_amd64.deb"
[ -f "$package" ] || { echo "build_deb: cpack made no $package" >&2; exit 1; }
echo "$package"
