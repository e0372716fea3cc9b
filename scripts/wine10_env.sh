#!/usr/bin/env bash
# Wine 10 for the speech-API check: the host's Wine 8 cannot speak through
# SpVoice (its Speak is not implemented), so this keeps a Debian 13 (trixie)
# chroot with wine64 10.x and Xvfb and runs Windows programs in it. Needs root
# (debootstrap, chroot, mount).
#
#   source scripts/wine10_env.sh || exit 1     # sets up; traps EXIT, INT, TERM
#   wine10_run wine64 regsvr32 /s 'Z:\work\main\build-windows\out\Sonvale.dll'
#   wine10_env_stop                            # optional: the EXIT trap calls it
#
# A caller that needs its own EXIT trap must call wine10_env_stop from it.
#
# or, without sourcing: `scripts/wine10_env.sh` only prepares everything, and
# `scripts/wine10_env.sh CMD ARGS...` runs one command inside.
#
# The chroot is made once (about 2 minutes: debootstrap, then wine64, wine and
# xvfb from trixie) and cached in $SONVALE_DEPS_CACHE/wine10-chroot (default
# ~/.cache/sonvale); it is made again when its stamp file is missing. While
# the environment is up:
#   - the Windows build directory is bind-mounted at its own path, so a file
#     there has the same name inside (and Z:\ plus that path for Windows);
#   - the chroot has its own /proc, /dev, a fresh /tmp and an Xvfb;
#   - commands run with a private 64-bit prefix inside the chroot (made with
#     `wineboot -i` the first time, then reused), WINEDEBUG=-all,
#     WINEDLLOVERRIDES="mscoree,mshtml=", and a crash ends the program at once
#     with a non-zero status (no crash dialog, no debugger).
# Only one environment is up at a time (a lock in the cache directory); a
# second caller waits for the first. Progress goes to stderr, the details of
# the set-up to $SONVALE_DEPS_CACHE/wine10-chroot.log.
#
#   SONVALE_DEPS_CACHE     cache directory (~/.cache/sonvale)
#   SONVALE_WINDOWS_BUILD  the directory to bind-mount (build-windows in the repo)
#   SONVALE_DEBIAN_MIRROR  Debian mirror for the chroot (http://deb.debian.org/debian;
#                          a snapshot.debian.org/archive/debian/<date> URL works too)
#   SONVALE_WINE10_DEBUG   WINEDEBUG inside (-all)
#   SONVALE_WINE10_TIMEOUT seconds after which wine10_run ends its command (600)
#
# Functions: wine10_run CMD ARGS... (runs in the chroot, in the caller's
# directory when that is inside the build directory, else in /; returns the
# command's status), wine10_wait (waits until the prefix's Wine processes have
# ended, so its registry is on disk), wine10_env_stop (ends Wine and Xvfb,
# unmounts, releases the lock). Variables: SONVALE_WINE10_ROOT (the chroot),
# SONVALE_WINE10_PREFIX (the prefix, a path inside the chroot).

_wine10_say() { printf 'wine10_env: %s\n' "$*" >&2; }

_wine10_fail() {
  _wine10_say "error: $*"
  if [ -n "${_wine10_log:-}" ] && [ -s "$_wine10_log" ]; then
    _wine10_say "last lines of $_wine10_log:"
    tail -n 15 "$_wine10_log" >&2
  fi
  return 1
}

# Mount points at or below the chroot, deepest first (so they can be unmounted
# in that order). /proc/mounts escapes spaces as \040; our paths have none.
_wine10_mounts_below() {
  local root=$1
  awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts |
    sort -r
}

_wine10_unmount_below() {
  local root=$1 mount_point
  while read -r mount_point; do
    [ -n "$mount_point" ] || continue
    umount "$mount_point" 2>/dev/null || umount -l "$mount_point" 2>/dev/null ||
      _wine10_say "warning: could not unmount $mount_point"
  done < <(_wine10_mounts_below "$root")
}

# Removes a chroot directory, but only once nothing is mounted below it:
# deleting through a bind mount would delete the build directory itself.
_wine10_remove_tree() {
  local dir=$1
  [ -e "$dir" ] || return 0
  _wine10_unmount_below "$dir"
  if [ -n "$(_wine10_mounts_below "$dir")" ]; then
    _wine10_fail "$dir still has file systems mounted below it; not removing it"
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

_wine10_chroot_env() {
  # A clean environment: nothing of the host's leaks into Wine.
  printf '%s\n' HOME=/root USER=root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin:/usr/lib/wine
}

# Runs a command in the chroot with only the set-up mounts (/proc); used while
# building it, before the session mounts exist.
_wine10_build_step() {
  local root=$1 status=0
  shift
  mount -t proc proc "$root/proc" || return 1
  local env_vars
  mapfile -t env_vars < <(_wine10_chroot_env)
  chroot "$root" /usr/bin/env -i "${env_vars[@]}" DEBIAN_FRONTEND=noninteractive "$@" \
    >>"$_wine10_log" 2>&1 || status=$?
  umount "$root/proc" || umount -l "$root/proc"
  return "$status"
}

_wine10_build_chroot() {
  local root=$1 stamp=$2
  local mirror=${SONVALE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local new="$root.new" started=$SECONDS
  _wine10_say "making the Wine 10 chroot in $root (once; about 2 minutes)"
  if ! command -v debootstrap >/dev/null 2>&1; then
    _wine10_say "installing debootstrap"
    apt-get install -y -q debootstrap >>"$_wine10_log" 2>&1 ||
      { apt-get update -q >>"$_wine10_log" 2>&1 &&
        apt-get install -y -q debootstrap >>"$_wine10_log" 2>&1; } ||
      { _wine10_fail "could not install debootstrap"; return 1; }
  fi
  _wine10_remove_tree "$new" || return 1
  _wine10_remove_tree "$root" || return 1
  _wine10_say "debootstrap trixie from $mirror"
  debootstrap --variant=minbase trixie "$new" "$mirror" >>"$_wine10_log" 2>&1 || {
    _wine10_remove_tree "$new"
    _wine10_fail "debootstrap of trixie from $mirror failed (set SONVALE_DEBIAN_MIRROR to a snapshot.debian.org URL if the plain mirror has moved on)"
    return 1
  }
  _wine10_say "installing wine64, wine and xvfb in the chroot"
  if ! _wine10_build_step "$new" sh -c 'apt-get update -q &&
        apt-get install -y -q --no-install-recommends wine64 wine xvfb &&
        apt-get clean'; then
    _wine10_remove_tree "$new"
    _wine10_fail "installing Wine in the chroot failed"
    return 1
  fi
  # Wine needs /proc even to print its version.
  local version
  if ! _wine10_build_step "$new" sh -c '/usr/lib/wine/wine64 --version >/etc/sonvale-wine-version'; then
    _wine10_remove_tree "$new"
    _wine10_fail "the chroot has no working /usr/lib/wine/wine64"
    return 1
  fi
  version=$(cat "$new/etc/sonvale-wine-version")
  case $version in
    wine-10.*) ;;
    *) _wine10_remove_tree "$new"
       _wine10_fail "the chroot has $version, expected wine-10.x"
       return 1 ;;
  esac
  mv "$new" "$root" || { _wine10_fail "could not rename $new to $root"; return 1; }
  printf '%s\n' "$version from trixie ($mirror), made $(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$stamp"
  _wine10_say "chroot ready: $version ($((SECONDS - started)) s)"
}

_wine10_mount() {
  # Each successful mount is remembered so that stop unmounts exactly these.
  mount "$@" || return 1
  _wine10_mounted+=("${!#}")
}

_wine10_mount_session() {
  local root=$SONVALE_WINE10_ROOT
  # The build directory's mount point is made after the fresh /tmp, which
  # would hide it when the build directory lies below /tmp.
  _wine10_mount -t proc proc "$root/proc" &&
    _wine10_mount --bind /dev "$root/dev" &&
    _wine10_mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm" &&
    _wine10_mount -t tmpfs -o mode=1777 tmpfs "$root/tmp" &&
    mkdir -p "$root$_wine10_build_dir" &&
    _wine10_mount --bind "$_wine10_build_dir" "$root$_wine10_build_dir"
}

# Starts Xvfb inside the chroot on a display it picks itself (-displayfd: it
# writes the number once it accepts connections). A watchdog stops it if the
# calling shell ends without calling wine10_env_stop.
_wine10_start_xvfb() {
  local number_file
  number_file=$(mktemp) || return 1
  _wine10_xvfb_pid=$( (chroot "$SONVALE_WINE10_ROOT" /usr/bin/Xvfb -displayfd 3 \
                         -screen 0 1024x768x24 -nolisten tcp \
                         3>"$number_file" </dev/null >>"$_wine10_log" 2>&1 \
                         {_wine10_lock_fd}>&- &
                       echo $!) )
  local tries=0 number=""
  while [ "$tries" -lt 100 ]; do
    number=$(tr -dc '0-9' <"$number_file" 2>/dev/null || true)
    [ -n "$number" ] && break
    kill -0 "$_wine10_xvfb_pid" 2>/dev/null || break
    sleep 0.1
    tries=$((tries + 1))
  done
  rm -f "$number_file"
  if [ -z "$number" ]; then
    kill "$_wine10_xvfb_pid" 2>/dev/null
    _wine10_xvfb_pid=""
    _wine10_fail "Xvfb did not start in the chroot"
    return 1
  fi
  local shell_pid=$$ xvfb_pid=$_wine10_xvfb_pid
  ( (while kill -0 "$shell_pid" 2>/dev/null && kill -0 "$xvfb_pid" 2>/dev/null; do sleep 2; done
     kill "$xvfb_pid" 2>/dev/null) </dev/null >/dev/null 2>&1 {_wine10_lock_fd}>&- & )
  _wine10_display=":$number"
}

wine10_run() {
  local dir=/ env_vars
  case $PWD/ in
    "$_wine10_build_dir"/*) dir=$PWD ;;
  esac
  mapfile -t env_vars < <(_wine10_chroot_env)
  # A program that hangs (a dialog nobody can click) must not hang the caller.
  # shellcheck disable=SC2016 # the inner shell expands $1 and $@
  timeout --kill-after=10 "${SONVALE_WINE10_TIMEOUT:-600}" \
    chroot "$SONVALE_WINE10_ROOT" /usr/bin/env -i "${env_vars[@]}" \
    DISPLAY="$_wine10_display" WINEPREFIX="$SONVALE_WINE10_PREFIX" WINEARCH=win64 \
    WINELOADER=/usr/lib/wine/wine64 WINEDEBUG="${SONVALE_WINE10_DEBUG:--all}" \
    WINEDLLOVERRIDES="mscoree,mshtml=" \
    /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$dir" "$@" {_wine10_lock_fd}>&-
}

wine10_wait() {
  wine10_run wineserver -w
}

# Creates the prefix on first use and sets how a crash ends: no crash dialog,
# which would hang the run, and no debugger, which would print a dump and let
# the crashed program exit with status 0.
_wine10_prepare_prefix() {
  local stamp="$SONVALE_WINE10_ROOT$SONVALE_WINE10_PREFIX/.sonvale-prefix"
  local settings="crash: no dialog, no debugger"
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$settings" ] && return 0
  if [ ! -f "$SONVALE_WINE10_ROOT$SONVALE_WINE10_PREFIX/system.reg" ]; then
    _wine10_say "making the Wine prefix (wineboot -i, 30-60 s)"
    wine10_run wine64 wineboot -i >>"$_wine10_log" 2>&1 ||
      { _wine10_fail "wineboot -i failed"; return 1; }
  fi
  if ! wine10_run wine64 reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
         /t REG_DWORD /d 0 /f >>"$_wine10_log" 2>&1 ||
     ! wine10_run wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
         /v Debugger /t REG_SZ /d '' /f >>"$_wine10_log" 2>&1; then
    _wine10_fail "could not change the crash settings of the prefix"
    return 1
  fi
  wine10_wait >>"$_wine10_log" 2>&1 || { _wine10_fail "wineserver -w failed"; return 1; }
  printf '%s\n' "$settings" >"$stamp"
}

wine10_env_stop() {
  if [ -n "${_wine10_display:-}" ] && [ -n "${SONVALE_WINE10_ROOT:-}" ]; then
    local env_vars
    mapfile -t env_vars < <(_wine10_chroot_env)
    timeout 30 chroot "$SONVALE_WINE10_ROOT" /usr/bin/env -i "${env_vars[@]}" \
      WINEPREFIX="$SONVALE_WINE10_PREFIX" wineserver -w >/dev/null 2>&1 {_wine10_lock_fd}>&- ||
      chroot "$SONVALE_WINE10_ROOT" /usr/bin/env -i "${env_vars[@]}" \
        WINEPREFIX="$SONVALE_WINE10_PREFIX" wineserver -k >/dev/null 2>&1 {_wine10_lock_fd}>&- || true
  fi
  if [ -n "${_wine10_xvfb_pid:-}" ]; then
    kill "$_wine10_xvfb_pid" 2>/dev/null || true
    local tries=0
    while kill -0 "$_wine10_xvfb_pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
      sleep 0.1
      tries=$((tries + 1))
    done
    ! kill -0 "$_wine10_xvfb_pid" 2>/dev/null || kill -9 "$_wine10_xvfb_pid" 2>/dev/null || true
    _wine10_xvfb_pid=""
  fi
  _wine10_display=""
  local i
  for ((i = ${#_wine10_mounted[@]} - 1; i >= 0; i--)); do
    umount "${_wine10_mounted[i]}" 2>/dev/null || umount -l "${_wine10_mounted[i]}" 2>/dev/null ||
      _wine10_say "warning: could not unmount ${_wine10_mounted[i]}"
  done
  _wine10_mounted=()
  if [ -n "${_wine10_lock_fd:-}" ]; then
    exec {_wine10_lock_fd}>&-
    _wine10_lock_fd=""
  fi
  return 0
}

_wine10_start() {
  local repo
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd) || return 1
  [ "$(id -u)" -eq 0 ] || { _wine10_fail "needs root (debootstrap, chroot, mount)"; return 1; }

  local cache=${SONVALE_DEPS_CACHE:-$HOME/.cache/sonvale}
  mkdir -p "$cache" || { _wine10_fail "cannot create $cache"; return 1; }
  cache=$(cd "$cache" && pwd) || return 1
  export SONVALE_WINE10_ROOT="$cache/wine10-chroot"
  export SONVALE_WINE10_PREFIX=/root/wineprefix-sonvale
  _wine10_log="$cache/wine10-chroot.log"
  : >>"$_wine10_log" || { _wine10_fail "cannot write $_wine10_log"; return 1; }
  _wine10_mounted=()

  _wine10_build_dir=${SONVALE_WINDOWS_BUILD:-$repo/build-windows}
  mkdir -p "$_wine10_build_dir" || { _wine10_fail "cannot create $_wine10_build_dir"; return 1; }
  _wine10_build_dir=$(cd "$_wine10_build_dir" && pwd) || return 1

  # One environment at a time: the mounts, the prefix and the chroot itself
  # are shared. Every process started below gets the lock's descriptor closed
  # ({_wine10_lock_fd}>&-), or a lingering wineserver or Xvfb would hold the
  # lock after we have finished.
  exec {_wine10_lock_fd}>"$cache/wine10-chroot.lock" ||
    { _wine10_fail "cannot open $cache/wine10-chroot.lock"; return 1; }
  if ! flock -n "$_wine10_lock_fd"; then
    _wine10_say "waiting for another user of the Wine 10 chroot"
    flock -w 1800 "$_wine10_lock_fd" || { _wine10_fail "gave up waiting for the lock"; return 1; }
  fi

  # Mounts left behind by a session that was killed outright.
  _wine10_unmount_below "$SONVALE_WINE10_ROOT"

  local stamp="$SONVALE_WINE10_ROOT/.sonvale-wine10-stamp"
  if [ ! -f "$stamp" ]; then
    _wine10_build_chroot "$SONVALE_WINE10_ROOT" "$stamp" || return 1
  fi

  local started=$SECONDS
  _wine10_mount_session || { _wine10_fail "mounting into the chroot failed"; return 1; }
  _wine10_start_xvfb || return 1
  _wine10_prepare_prefix || return 1
  _wine10_say "ready: $(cat "$SONVALE_WINE10_ROOT/etc/sonvale-wine-version"), display $_wine10_display, $_wine10_build_dir mounted ($((SECONDS - started)) s)"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  # Run as a program: prepare, run the command if one is given, clean up.
  set -u
  trap wine10_env_stop EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  _wine10_start || exit 1
  [ "$#" -eq 0 ] && exit 0
  wine10_run "$@"
  exit
fi

trap wine10_env_stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
_wine10_start || { wine10_env_stop; false; }
