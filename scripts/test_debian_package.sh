#!/usr/bin/env bash
# Builds the Debian package (scripts/build_deb.sh) and checks it the way a
# user meets it: installed with apt into a clean Debian 12 (bookworm) root,
# used there by new ordinary users, then purged. Checks:
#   - `sonvale speak -o x.wav 你好` speaks with the default voice and
#     `sonvale voices` lists it, for a user who never ran any set-up;
#   - `spd-say -o sonvale -l yue` speaks through speech-dispatcher (the
#     module's file output);
#   - one user's `config --set` does not change another user's settings;
#   - `apt-get purge sonvale` leaves no file of the package and no key in the
#     machine-wide store;
#   - lintian reports no errors (its warnings are printed).
# Exits 0 when all hold, 1 when a check fails, 2 when something it needs is
# missing. Needs root (debootstrap, chroot, mount).
#
# The root is made once with debootstrap (about 3 minutes) and cached in
# $SONVALE_DEPS_CACHE/debian12-root (default ~/.cache/sonvale), with the
# libraries the package depends on already installed; a stamp file marks it
# finished. Each run mounts an overlay over it, so the cached root is never
# changed, and removes the overlay, its mounts and its files at the end: the
# machine is left as it was.
#
#   SONVALE_BUILD           the build directory the package is made from (build)
#   SONVALE_DEB             a package already built (skips scripts/build_deb.sh)
#   SONVALE_DEBIAN_MIRROR   Debian mirror (http://deb.debian.org/debian)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SONVALE_BUILD:-$repo/build}
mirror=${SONVALE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${SONVALE_DEPS_CACHE:-$HOME/.cache/sonvale}
cached_root="$cache/debian12-root"
log="$cache/debian12-root.log"
# What the package's Depends will ask for, installed once into the cached
# root so that a run downloads nothing; apt fetches anything missing.
root_packages=(speech-dispatcher libfftw3-double3 libmpg123-0 libmp3lame0 libsoxr0 libsndfile1
               libpulse0 libx11-6 libxft2 libfontconfig1 libgtk-3-0)

say() { printf 'test-debian-package: %s\n' "$*" >&2; }
fail() { say "FAIL: $*"; exit 1; }
die() { say "error: $*"; [ -s "${log:-}" ] && tail -n 15 "$log" >&2; exit 2; }

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mount)"
command -v debootstrap >/dev/null || die "debootstrap is missing (scripts/setup.sh installs it)"
mkdir -p "$cache"
: >>"$log"

mounts_below() {
  awk -v root="$1" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts | sort -r
}
unmount_below() {
  local point
  while read -r point; do
    [ -n "$point" ] && { umount "$point" 2>/dev/null || umount -l "$point" || true; }
  done < <(mounts_below "$1")
}

build_root() {
  local new="$cached_root.new" started=$SECONDS
  say "making the Debian 12 root in $cached_root (once; a few minutes)"
  unmount_below "$new"
  [ -z "$(mounts_below "$new")" ] || die "$new still has mounts below it"
  rm -rf --one-file-system "$new" "$cached_root"
  debootstrap --variant=minbase bookworm "$new" "$mirror" >>"$log" 2>&1 ||
    die "debootstrap of bookworm from $mirror failed"
  mount -t proc proc "$new/proc"
  local status=0
  chroot "$new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends \
      ${root_packages[*]} && apt-get clean" >>"$log" 2>&1 || status=$?
  umount "$new/proc" || umount -l "$new/proc"
  [ "$status" -eq 0 ] || die "installing the libraries into the root failed"
  mv "$new" "$cached_root"
  printf 'bookworm from %s with %s, made %s\n' "$mirror" "${root_packages[*]}" \
    "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$cached_root/.sonvale-stamp"
  say "root ready ($((SECONDS - started)) s)"
}

# One run at a time: the cached root is shared.
exec {lock_fd}>"$cache/debian12-root.lock"
flock -w 1800 "$lock_fd" || die "gave up waiting for $cache/debian12-root.lock"
[ -f "$cached_root/.sonvale-stamp" ] || build_root
[ "${1:-}" = --prepare-only ] && exit 0
command -v lintian >/dev/null || die "lintian is missing (scripts/setup.sh installs it)"
