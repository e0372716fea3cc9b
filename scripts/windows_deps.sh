#!/usr/bin/env bash
# Installs what the Windows cross build and its Wine tests need from Debian's
# packages, then builds the two libraries the engine links -- FFTW (double
# precision only) and libmpg123 -- as static mingw-w64 libraries for 64-bit
# (x86_64) or 32-bit (i686) Windows from Debian bookworm's source packages,
# Debian's patches applied (mpg123's include a security fix). Run as root, or
# as a user who may sudo, on Debian 12.
#
# Each library is installed into its own prefix (include/, lib/,
# lib/pkgconfig/) in a cache keyed by the Debian source version:
#   $SONVALE_DEPS_CACHE/windows/fftw-<version>        (x86_64)
#   $SONVALE_DEPS_CACHE/windows/mpg123-<version>
#   $SONVALE_DEPS_CACHE/windows/i686/fftw-<version>   (i686)
#   $SONVALE_DEPS_CACHE/windows/i686/mpg123-<version>
# A prefix whose stamp (written last) matches the recipe below is reused, so a
# second run only checks. Progress goes to stderr; stdout gets the prefixes as
# shell assignments, for `eval "$(scripts/windows_deps.sh)"`:
#   SONVALE_FFTW_PREFIX=...
#   SONVALE_MPG123_PREFIX=...
#
#   SONVALE_WINDOWS_ARCH    x86_64 (the default) or i686
#   SONVALE_DEPS_CACHE      cache root ($HOME/.cache/sonvale)
#   SONVALE_FFTW_VERSION    Debian source version of fftw3 (the newest apt knows)
#   SONVALE_MPG123_VERSION  Debian source version of mpg123 (the newest apt knows)
#   SONVALE_JOBS            parallel make jobs (the number of processors)
set -euo pipefail

readonly arch=${SONVALE_WINDOWS_ARCH:-x86_64}
case $arch in
  x86_64) deb_arch=x86-64 mpg123_cpu=x86-64 ;;
  # The x86 decoder picks its SSE code at run time, as x86-64 always does.
  i686) deb_arch=i686 mpg123_cpu=x86 ;;
  *) printf 'windows-deps: error: SONVALE_WINDOWS_ARCH must be x86_64 or i686, not %s\n' "$arch" >&2; exit 1 ;;
esac
readonly host=${arch}-w64-mingw32
readonly cc=${host}-gcc-posix
# Bump when the way the libraries are built changes, so cached builds are redone.
readonly recipe_revision=1

packages=("gcc-mingw-w64-$deb_arch-posix" "g++-mingw-w64-$deb_arch-posix" "binutils-mingw-w64-$deb_arch"
          mingw-w64-tools "mingw-w64-$deb_arch-dev" nsis cmake ninja-build pkg-config make patch tar
          gzip bzip2 xz-utils dpkg-dev wine wine64 xvfb x11-utils)

fftw_configure=(--disable-fortran --enable-static --disable-shared --disable-doc
                --enable-sse2 --enable-avx --enable-avx2 --with-our-malloc)
# The engine feeds memory to the decoder: no network, no output modules. The
# mpg123 and out123 programs are built too (there is no switch to skip them);
# a dummy audio output keeps them free of Windows audio libraries.
mpg123_configure=(--enable-static --disable-shared "--with-cpu=$mpg123_cpu" --enable-network=no
                  --enable-modules=no --with-audio=dummy)

started=$SECONDS
log() { printf 'windows-deps [%s]: %s\n' "$(elapsed $((SECONDS - started)))" "$*" >&2; }
die() { printf 'windows-deps: error: %s\n' "$*" >&2; exit 1; }
elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    die "'$*' needs root: run this script as root or install sudo"
  fi
}

apt_updated=0
apt_update() {
  [ "$apt_updated" = 1 ] && return 0
  log "apt-get update"
  as_root apt-get update -qq
  apt_updated=1
}

install_packages() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  # Stale or empty package lists make the install fail: refresh them then.
  for p in "${missing[@]}"; do
    apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]' || { apt_update; break; }
  done
  log "installing: ${missing[*]}"
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
         "${missing[@]}" >/dev/null; then
    [ "$apt_updated" = 1 ] && die "could not install: ${missing[*]}"
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null || die "could not install: ${missing[*]}"
  fi
}

# Source packages need deb-src entries: mirror the binary ones when apt has none.
ensure_deb_src() {
  apt-cache showsrc --only-source fftw3 2>/dev/null | grep -q '^Version:' && return 0
  local list=/etc/apt/sources.list.d
  if [ -f "$list/debian.sources" ]; then
    log "adding deb-src entries ($list/sonvale-src.sources)"
    sed -E 's/^Types:.*/Types: deb-src/' "$list/debian.sources" |
      as_root tee "$list/sonvale-src.sources" >/dev/null
  elif [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    log "adding deb-src entries ($list/sonvale-src.list)"
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | as_root tee "$list/sonvale-src.list" >/dev/null
  else
    die "no Debian entry found in /etc/apt to mirror as deb-src"
  fi
  apt_updated=0
  apt_update
  apt-cache showsrc --only-source fftw3 2>/dev/null | grep -q '^Version:' ||
    die "apt still knows no source packages after adding deb-src entries"
}

# Prints the newest version of a source package that apt knows.
newest_source_version() {
  local pkg=$1 best="" v
  while read -r v; do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache showsrc --only-source "$pkg" 2>/dev/null | sed -n 's/^Version: //p')
  [ -n "$best" ] || die "apt knows no source package '$pkg'"
  printf '%s\n' "$best"
}

# Fetches the .dsc and tarballs of one source package version into $dir. apt's
# own downloader checks each file against the SHA-256 of the signed Sources
# index. Upstream signatures (.asc) are skipped: some are missing on the
# mirror, and the index already vouches for the tarball they sign.
fetch_source() {
  local pkg=$1 version=$2 dir=$3 uri name _size hash fetched=0
  [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1 && chown _apt "$dir"
  while read -r uri name _size hash; do
    case $name in *.asc) continue ;; esac
    uri=${uri#\'}
    uri=${uri%\'}
    /usr/lib/apt/apt-helper download-file "$uri" "$dir/$name" "$hash" >/dev/null ||
      die "download of $uri failed (or its SHA-256 did not match)"
    fetched=$((fetched + 1))
  done < <(apt-get source --print-uris --only-source "$pkg=$version" 2>/dev/null | grep "^'")
  [ "$fetched" -gt 0 ] || die "apt has no source for $pkg $version (see: apt-cache showsrc $pkg)"
}

# Unpacks a "3.0 (quilt)" source package into $dest: the original tarball, its
# SHA-256 checked against the .dsc, then Debian's patch series applied in order.
unpack_source() {
  local dir=$1 dest=$2 dsc orig="" debian="" sum _size name
  dsc=$(find "$dir" -maxdepth 1 -name '*.dsc' | head -n 1)
  [ -n "$dsc" ] || die "no .dsc in $dir"
  grep -q '^Format: 3.0 (quilt)' "$dsc" || die "$dsc: expected Format 3.0 (quilt)"
  # Checksums-Sha256 lists " <sha256> <size> <name>" lines until the next field.
  while read -r sum _size name; do
    [ -f "$dir/$name" ] || continue
    [ "$(sha256sum "$dir/$name" | cut -d' ' -f1)" = "$sum" ] ||
      die "$name: SHA-256 differs from the one in $(basename "$dsc")"
    case $name in
      *.orig.tar.*) orig=$dir/$name ;;
      *.debian.tar.*) debian=$dir/$name ;;
    esac
  done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc")
  if [ -z "$orig" ] || [ -z "$debian" ]; then die "$dsc: original or Debian tarball missing"; fi
  mkdir -p "$dest"
  tar -xf "$orig" -C "$dest" --strip-components=1
  tar -xf "$debian" -C "$dest"
  local series=$dest/debian/patches/series patch opt
  [ -f "$series" ] || return 0
  while read -r patch opt; do
    case $patch in '' | '#'*) continue ;; esac
    patch -d "$dest" "${opt:--p1}" --batch --forward --no-backup-if-mismatch --quiet \
      -i "debian/patches/$patch" || die "Debian patch $patch does not apply"
  done <"$series"
}

# build_library <name> <Debian source package> <version> <prefix> <configure args...>
build_library() {
  local name=$1 pkg=$2 version=$3 prefix=$4
  shift 4
  local stamp=$prefix/.sonvale-build-stamp
  local recipe toolchain
  # The compiler's own version string ("12-posix") misses Debian's patches:
  # the packages' versions name the toolchain exactly.
  toolchain=$(dpkg-query -W -f='${Package} ${Version}; ' gcc-mingw-w64-$deb_arch-posix mingw-w64-$deb_arch-dev)
  recipe="$pkg $version | $toolchain| recipe $recipe_revision | $*"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
    log "$name $version: already built in $prefix"
    return 0
  fi
  [ -e "$prefix" ] && log "$name $version: unfinished or outdated build in $prefix, rebuilding"
  rm -rf -- "$prefix"

  local begin=$SECONDS download=$work/$name-download src=$work/$name-src buildlog=$work/$name.log
  mkdir -p "$download"
  chmod 755 "$work"
  log "$name $version: fetching the Debian source package"
  ensure_deb_src
  fetch_source "$pkg" "$version" "$download"
  unpack_source "$download" "$src"

  log "$name $version: configuring"
  if ! (cd "$src" && ./configure --host="$host" --prefix="$prefix" CC="$cc" "$@") >"$buildlog" 2>&1; then
    tail -n 30 "$buildlog" >&2
    die "$name: configure failed, log in $buildlog"
  fi
  log "$name $version: compiling with $jobs jobs (log: $buildlog)"
  if ! make -C "$src" -j"$jobs" >>"$buildlog" 2>&1 || ! make -C "$src" install >>"$buildlog" 2>&1; then
    tail -n 30 "$buildlog" >&2
    die "$name: build failed, log in $buildlog"
  fi
  printf '%s\n' "$recipe" >"$stamp"
  log "$name $version: built in $(elapsed $((SECONDS - begin)))"
}

check_prefix() {
  local prefix=$1 f
  shift
  for f in "$@"; do
    [ -f "$prefix/$f" ] || die "$prefix/$f is missing after the build"
  done
}

install_packages
command -v "$cc" >/dev/null || die "$cc not found after installing the cross compiler"

fftw_version=${SONVALE_FFTW_VERSION:-}
mpg123_version=${SONVALE_MPG123_VERSION:-}
if [ -z "$fftw_version" ] || [ -z "$mpg123_version" ]; then
  ensure_deb_src
  [ -n "$fftw_version" ] || fftw_version=$(newest_source_version fftw3)
  [ -n "$mpg123_version" ] || mpg123_version=$(newest_source_version mpg123)
fi

cache=${SONVALE_DEPS_CACHE:-${HOME:?HOME is not set}/.cache/sonvale}/windows
[ "$arch" = x86_64 ] || cache=$cache/$arch
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
fftw_prefix=$cache/fftw-$fftw_version
mpg123_prefix=$cache/mpg123-$mpg123_version
jobs=${SONVALE_JOBS:-$(nproc)}

# One build at a time per cache; a second run waits, then finds the work done.
exec 9>"$cache/.lock"
if ! flock -n 9; then
  log "another windows_deps.sh is building in $cache; waiting for it"
  flock 9
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sonvale-windows-deps.XXXXXX")
finish() {
  local rc=$?
  exec 9>&-  # let a waiting run go on while the build tree is removed
  if [ "$rc" -eq 0 ]; then rm -rf -- "$work"; else log "build files kept in $work"; fi
}
trap finish EXIT

build_library fftw fftw3 "$fftw_version" "$fftw_prefix" "${fftw_configure[@]}"
check_prefix "$fftw_prefix" include/fftw3.h lib/libfftw3.a lib/pkgconfig/fftw3.pc
build_library mpg123 mpg123 "$mpg123_version" "$mpg123_prefix" "${mpg123_configure[@]}"
check_prefix "$mpg123_prefix" include/mpg123.h lib/libmpg123.a lib/pkgconfig/libmpg123.pc

log "done; link libmpg123 users with -lshlwapi as well"
printf 'SONVALE_FFTW_PREFIX=%q\n' "$fftw_prefix"
printf 'SONVALE_MPG123_PREFIX=%q\n' "$mpg123_prefix"
