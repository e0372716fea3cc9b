#!/usr/bin/env bash
# Cross-compiles Sonvale for Windows: the static FFTW and libmpg123 builds
# (scripts/windows_deps.sh, cached after the first run), then Sonvale.dll,
# sonvale-install.exe and the Wine check programs with
# cmake/mingw-w64-x86_64.cmake, and puts them with the default voice into
# build-windows/out/: the folder a Windows user unpacks (the check programs
# aside). The 32-bit Sonvale.dll and sonvale-install.exe
# (cmake/mingw-w64-i686.cmake) go into out/x86/, and the setup program
# Sonvale-Setup-VERSION.exe (NSIS) into build-windows/. The voice files are
# the ones the Linux build made (build/voices/default, from scripts/setup.sh).
#
#   scripts/build_windows.sh
#
#   SONVALE_WINDOWS_BUILD   build directory (build-windows in the repository)
#   SONVALE_BUILD_TYPE      CMake build type (Release)
#   SONVALE_JOBS            parallel build jobs (the number of processors)
#   SONVALE_VOICE_BUILD     the Linux build holding voices/default (build)
#   SONVALE_WINDOWS_X86=0   no 32-bit module
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SONVALE_WINDOWS_BUILD:-$root/build-windows}
build_type=${SONVALE_BUILD_TYPE:-Release}
jobs=${SONVALE_JOBS:-$(nproc)}

log() { printf 'build-windows: %s\n' "$*" >&2; }
die() { printf 'build-windows: error: %s\n' "$*" >&2; exit 1; }

# configure_and_build ARCH DIR TARGETS...: FFTW and libmpg123 for ARCH
# (windows_deps.sh prints SONVALE_FFTW_PREFIX=... and SONVALE_MPG123_PREFIX=...),
# then the targets (all when none is named) in DIR.
configure_and_build() {
  local arch=$1 dir=$2 deps generator=()
  shift 2
  deps=$(SONVALE_WINDOWS_ARCH=$arch "$root/scripts/windows_deps.sh") || die "scripts/windows_deps.sh ($arch) failed"
  SONVALE_FFTW_PREFIX="" SONVALE_MPG123_PREFIX=""
  eval "$deps"
  [ -n "$SONVALE_FFTW_PREFIX" ] && [ -n "$SONVALE_MPG123_PREFIX" ] ||
    die "scripts/windows_deps.sh did not name the $arch FFTW and libmpg123 prefixes"
  command -v ninja >/dev/null && [ ! -f "$dir/Makefile" ] && generator=(-G Ninja)
  log "configuring $dir ($arch, $build_type)"
  cmake -S "$root" -B "$dir" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE="$build_type" \
    -DSONVALE_WINDOWS_FFTW="$SONVALE_FFTW_PREFIX" \
    -DSONVALE_WINDOWS_MPG123="$SONVALE_MPG123_PREFIX" >/dev/null
  log "building $arch with $jobs jobs"
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "$dir" --parallel "$jobs" "${targets[@]}"
}

configure_and_build x86_64 "$build"

out=$build/out
mkdir -p "$out"
cp "$build/src/Sonvale.dll" "$build/tools/windows/sonvale-install.exe" "$out/"
for program in "$build"/tests/windows/*.exe; do
  cp "$program" "$out/"
done
voice=${SONVALE_VOICE_BUILD:-$root/build}/voices/default
if [ -f "$voice/voice.def" ] && [ -f "$voice/voice.dat" ] && [ -f "$voice/voice.wrd" ]; then
  mkdir -p "$out/voice"
  cp "$voice"/voice.def "$voice"/voice.dat "$voice"/voice.wrd "$out/voice/"
  [ -f "$voice/ATTRIBUTION.txt" ] && cp "$voice/ATTRIBUTION.txt" "$out/voice/"
else
  log "no default voice in $voice (scripts/setup.sh makes it): out/ has no voice"
fi

# The 32-bit module, for 32-bit programs (their speech system reads the 32-bit
# registry view), with its installer and speech check, into out/x86/.
if [ "${SONVALE_WINDOWS_X86:-1}" = 1 ]; then
  configure_and_build i686 "$build/x86" sonvale_module sonvale_install sapi_voice_check
  mkdir -p "$out/x86"
  cp "$build/x86/src/Sonvale.dll" "$build/x86/tools/windows/sonvale-install.exe" \
    "$build/x86/tests/windows/sapi_voice_check.exe" "$out/x86/"
fi

# The setup program (tools/windows/sonvale_setup.nsi), with the 32-bit DLL
# when out/x86/ holds it.
version=$(sed -n 's/^project(Sonvale VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || die "no version in the project() line of CMakeLists.txt"
setup=$build/Sonvale-Setup-$version.exe
if [ ! -d "$out/voice" ]; then
  log "no voice: no setup program"
elif ! command -v makensis >/dev/null; then
  log "makensis is missing (apt-get install nsis): no setup program"
else
  with_x86=()
  [ -f "$out/x86/Sonvale.dll" ] && [ -f "$out/x86/sonvale-install.exe" ] && with_x86=(-DWITH_X86)
  makensis -V2 -DVERSION="$version" -DOUT_DIR="$out" -DSETUP="$setup" "${with_x86[@]}" \
    "$root/tools/windows/sonvale_setup.nsi" >&2 || die "makensis failed"
  log "setup program: $setup${with_x86:+ (64-bit and 32-bit)}"
fi
log "done: $(cd "$out" && ls | tr '\n' ' ')in $out"
