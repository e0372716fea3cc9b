#!/usr/bin/env bash
# Builds the Debian package (scripts/build_deb.sh) and checks it the way a
# user meets it: installed with apt into a clean Debian 12 (bookworm) root,
# used there by new ordinary users, then purged. Checks:
#   - `sonvale speak -o x.wav 你好` speaks with the default voice and
#     `sonvale voices` lists it, for a user who never ran any set-up;
#   - `spd-say -o sonvale -l yue` speaks through speech-dispatcher (the
#     module's file output);
#   - a program built with `pkg-config sonvale` speaks through libsonvale;
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
#   scripts/test_debian_package.sh [--prepare-only]   (--prepare-only: make the root, nothing else)
#
#   SONVALE_DEPS_CACHE      cache directory (~/.cache/sonvale)
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

# ---- the package ------------------------------------------------------------
started=$SECONDS
if [ -n "${SONVALE_DEB:-}" ]; then
  package=$SONVALE_DEB
else
  say "building the package (scripts/build_deb.sh)"
  package=$(SONVALE_BUILD_DIR="$build" bash "$repo/scripts/build_deb.sh" | tail -n 1)
fi
[ -f "$package" ] || die "no package at $package"
say "package $package ($(du -k "$package" | cut -f1) kB)"

lintian_out=$(lintian "$package" 2>&1 | grep -v "running with root privileges" || true)
if grep -q '^E:' <<<"$lintian_out"; then
  printf '%s\n' "$lintian_out" >&2
  fail "lintian reports errors"
fi
say "lintian: no errors; warnings:"
grep '^W:' <<<"$lintian_out" >&2 || say "  (none)"

# ---- a throw-away copy of the root --------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/sonvale-deb-test.XXXXXX")
root="$work/root"
cleanup() {
  local pid
  # Whatever still runs inside the root: started by this test.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
  done
  unmount_below "$root"
  [ -z "$(mounts_below "$root")" ] && rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$root" "$work/upper" "$work/overlay-work"
mount -t overlay overlay -o "lowerdir=$cached_root,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
cp "$package" "$root/root/sonvale.deb"

readonly base_env=(PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
as_root() { chroot "$root" /usr/bin/env -i "${base_env[@]}" HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }
# Runs a shell command line as USER in their home, with nothing of ours in
# the environment: no SONVALE_REGISTRY, so their own store is the usual one.
as_user() {
  local user=$1
  shift
  chroot "$root" /usr/bin/setpriv --reuid="$user" --regid="$user" --init-groups \
    /usr/bin/env -i "${base_env[@]}" HOME="/home/$user" USER="$user" XDG_RUNTIME_DIR="/tmp/run-$user" \
    sh -c 'cd && eval "$1"' sh "$1"
}

say "installing it with apt-get into a clean Debian 12"
if ! as_root apt-get install -y -q "/root/sonvale.deb" >"$work/install.log" 2>&1; then
  # The cached lists may be older than the mirror: fetch them and try again.
  as_root sh -c 'apt-get update -q && apt-get install -y -q /root/sonvale.deb' >>"$work/install.log" 2>&1 || {
    tail -n 20 "$work/install.log" >&2
    fail "apt-get install of the package failed"
  }
fi
grep -q "registered /usr/lib/x86_64-linux-gnu/sonvale/libsonvale.so" "$work/install.log" ||
  fail "postinst registered no module: $(tail -n 5 "$work/install.log")"
store=/var/lib/sonvale/registry.reg
[ -f "$root$store" ] || fail "no machine-wide store $store after installing"

for user in alice bob; do
  as_root useradd -m -s /bin/sh "$user"
  mkdir -p "$root/tmp/run-$user"
  as_root chown "$user:$user" "/tmp/run-$user"
  chmod 700 "$root/tmp/run-$user"
done

# ---- a new user speaks with the default voice ---------------------------------
as_user alice 'sonvale speak -o x.wav 你好' >"$work/speak.log" 2>&1 ||
  fail "sonvale speak as a new user failed: $(cat "$work/speak.log")"
wav="$root/home/alice/x.wav"
# Sounding 16-bit samples after the 44-byte header: not a file of silence.
sounding=$(tail -c +45 "$wav" | od -An -v -td2 -w2 --endian=little |
           awk '$1 > 64 || $1 < -64 { n++ } END { print n + 0 }')
[ "$sounding" -ge 2000 ] || fail "x.wav ($(wc -c <"$wav") bytes) has $sounding sounding samples"
say "sonvale speak: x.wav of $(wc -c <"$wav") bytes, $sounding samples sounding"
voices=$(as_user alice 'sonvale voices' 2>&1) || fail "sonvale voices failed: $voices"
grep -q "^REZuroruRadarorud	.*	/usr/share/sonvale/voices/default	(default)$" <<<"$voices" ||
  fail "sonvale voices does not list the default voice: $voices"
say "sonvale voices: $voices"

# ---- a program of the user's own links the C library -------------------------
# Compiled here against the package's header, pkg-config file and library
# (the root has no compiler), run there as another new user.
mkdir -p "$work/unpacked"
dpkg-deb -x "$package" "$work/unpacked"
cat >"$work/speak.c" <<'C'
#include <sonvale/sonvale.h>
#include <stdio.h>
static size_t samples;
static int count(void* user, const int16_t* audio, size_t n) { (void)user; (void)audio; samples += n; return 0; }
int main(void) {
  sonvale_voice* voice;
  char error[256];
  if (sonvale_open(NULL, &voice, error, sizeof error) != SONVALE_OK) { printf("open: %s\n", error); return 1; }
  const int result = sonvale_speak(voice, "你好", -1, SONVALE_TEXT_AUTO, count, NULL, NULL);
  sonvale_close(voice);
  printf("%zu\n", samples);
  return result != SONVALE_OK;
}
C
pc=(env PKG_CONFIG_SYSROOT_DIR="$work/unpacked" PKG_CONFIG_LIBDIR="$work/unpacked/usr/lib/x86_64-linux-gnu/pkgconfig")
cc -o "$root/usr/local/bin/speak-check" $("${pc[@]}" pkg-config --cflags sonvale) "$work/speak.c" \
  $("${pc[@]}" pkg-config --libs sonvale) || fail "a program cannot be built with pkg-config sonvale"
samples=$(as_user bob /usr/local/bin/speak-check 2>&1) || fail "a program linking libsonvale cannot speak: $samples"
[ "$samples" -gt 2000 ] || fail "sonvale_speak through libsonvale gave $samples samples"
say "C library: a program built with pkg-config sonvale speaks $samples samples"

# ---- one user's settings are not another's -------------------------------------
as_user alice 'sonvale config --set ReadNumber=1' >/dev/null 2>&1 || fail "config --set as alice failed"
[ "$(as_user alice 'sonvale config --get ReadNumber' 2>&1)" = 1 ] || fail "alice's ReadNumber is not 1"
bob=$(as_user bob 'sonvale config --get ReadNumber' 2>&1)
[ "$bob" = 0 ] || fail "alice's config --set changed bob's ReadNumber: $bob"
grep -q ReadNumber "$root$store" && fail "alice's setting went into the machine-wide store"
say "config: alice's ReadNumber=1 is hers alone"

# ---- speech-dispatcher finds the module in the system's folders ----------------
# The user's own copy of the system configuration, with the module's audio
# written to a file instead of played.
as_user alice 'cp -r /etc/speech-dispatcher sd && mkdir -p sd-log &&
  sed -i -e "s|^SonvaleAudioOutput .*|SonvaleAudioOutput \"file\"|" \
         -e "s|^SonvaleAudioFile .*|SonvaleAudioFile \"$HOME/out.raw\"|" sd/modules/sonvale.conf'
as_user alice 'exec speech-dispatcher -s -t 60 -C sd -L sd-log -P sd.pid' >"$work/speechd.log" 2>&1 &
socket="$root/tmp/run-alice/speech-dispatcher/speechd.sock"
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "speech-dispatcher made no socket: $(cat "$work/speechd.log")"
as_user alice 'timeout 30 spd-say -w -o sonvale -l yue 你好，我哋講廣東話。' >"$work/spd-say.log" 2>&1 ||
  fail "spd-say -o sonvale -l yue failed: $(cat "$work/spd-say.log" "$root/home/alice/sd-log/sonvale.log" 2>/dev/null)"
raw="$root/home/alice/out.raw"
[ -f "$raw" ] || fail "the module wrote no audio file: $(cat "$root/home/alice/sd-log/sonvale.log" 2>/dev/null)"
sounding=$(od -An -v -td2 -w2 --endian=little "$raw" | awk '$1 > 64 || $1 < -64 { n++ } END { print n + 0 }')
[ "$sounding" -ge 5512 ] || fail "the module's audio ($(wc -c <"$raw") bytes) has $sounding sounding samples"
say "spd-say -o sonvale -l yue: $(wc -c <"$raw") bytes of audio, $sounding samples sounding"
as_user alice 'kill $(cat sd.pid)' 2>/dev/null || true
wait

# ---- removal and purge ------------------------------------------------------------
files=$(as_root sh -c 'dpkg -L sonvale | while read -r p; do [ -d "$p" ] || echo "$p"; done')
as_root apt-get remove -y -q sonvale >"$work/remove.log" 2>&1 || fail "apt-get remove failed: $(tail -n 5 "$work/remove.log")"
if grep -E -i 'sonvale|REZuroru|InprocServer32|\{4197759E' "$root$store"; then
  fail "keys of the package are left in the machine-wide store after removal"
fi
as_root apt-get purge -y -q sonvale >"$work/purge.log" 2>&1 || fail "apt-get purge failed: $(tail -n 5 "$work/purge.log")"
[ ! -e "$root/var/lib/sonvale" ] || fail "purge left /var/lib/sonvale: $(ls -A "$root/var/lib/sonvale")"
left=""
while read -r path; do
  [ -n "$path" ] && { [ -e "$root$path" ] || [ -L "$root$path" ]; } && left="$left $path"
done <<<"$files"
[ -z "$left" ] || fail "purge left files of the package:$left"
say "purge: no file of the package and no machine-wide store left"
say "PASS ($((SECONDS - started)) s)"
