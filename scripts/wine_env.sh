# Wine environment for the Windows tests; `source` it from a bash script:
#
#   source scripts/wine_env.sh || exit 1
#   trap wine_env_stop EXIT
#   wine64 regsvr32 /s build-windows/Sonvale.dll
#
# It exports a private 64-bit prefix (WINEPREFIX, WINEARCH=win64) in which a
# crashing program exits at once with a non-zero status (no crash dialog, no
# debugger), WINEDEBUG=-all, WINEDLLOVERRIDES="mscoree,mshtml="
# (no Mono or Gecko install prompts) and a DISPLAY that answers: the caller's
# if an X server is there, otherwise an Xvfb started here. The prefix is
# created with `wineboot -i` the first time (30-60 s) and reused after that.
# Nothing is printed unless something fails; then it says what, returns 1 and
# points at the log ($SONVALE_WINE_LOG).
#
# Exports: SONVALE_WINE (the 64-bit loader, also on PATH as wine64: run
# programs as `wine64 prog.exe args`), SONVALE_WINESERVER, SONVALE_WINE_LOG,
# WINELOADER.
# Functions: wine_env_wait (waits until every Wine process of the prefix has
# ended, so its registry is on disk), wine_env_stop (waits up to 30 s for the
# prefix's processes, then ends them, and stops the Xvfb started here).
#
#   SONVALE_WINEPREFIX  the prefix (<repo>/build-windows/wineprefix). An
#                       inherited WINEPREFIX is deliberately not used: the
#                       tests register COM servers in it.

_wine_env_fail() {
  printf 'wine_env.sh: %s\n' "$*" >&2
  if [ -n "${SONVALE_WINE_LOG:-}" ] && [ -s "$SONVALE_WINE_LOG" ]; then
    printf 'wine_env.sh: last lines of %s:\n' "$SONVALE_WINE_LOG" >&2
    tail -n 15 "$SONVALE_WINE_LOG" >&2
  fi
  return 1
}

# True when an X server answers on $DISPLAY.
_wine_env_display_usable() {
  [ -n "${DISPLAY:-}" ] || return 1
  if command -v xdpyinfo >/dev/null 2>&1; then
    timeout 5 xdpyinfo >/dev/null 2>&1
    return
  fi
  # Without xdpyinfo: a local display ":N" needs its socket and a live owner of
  # its lock file (a crashed server leaves both behind).
  local n=${DISPLAY#*:}
  n=${n%%.*}
  [ "${DISPLAY%%:*}" = "" ] && [ -S "/tmp/.X11-unix/X$n" ] && [ -f "/tmp/.X$n-lock" ] &&
    kill -0 "$(tr -d ' ' <"/tmp/.X$n-lock")" 2>/dev/null
}

# Starts an Xvfb on a display it picks itself (-displayfd: no race with other
# servers); it writes the number only once it accepts connections. The server
# is not a job of the calling shell, so a bare `wait` there never waits for it,
# and a watchdog stops it if that shell ends without calling wine_env_stop.
_wine_env_start_xvfb() {
  command -v Xvfb >/dev/null 2>&1 || {
    _wine_env_fail "no usable DISPLAY and Xvfb is not installed (apt-get install xvfb)"
    return 1
  }
  local number_file="$_wine_env_dir/xvfb-display.$$"
  rm -f "$number_file"
  _wine_env_xvfb_pid=$( (Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
                         3>"$number_file" </dev/null >>"$SONVALE_WINE_LOG" 2>&1 &
                         echo $!) )
  local tries=0 number=""
  while [ "$tries" -lt 100 ]; do
    number=$(tr -dc '0-9' <"$number_file" 2>/dev/null || true)
    [ -n "$number" ] && break
    kill -0 "$_wine_env_xvfb_pid" 2>/dev/null || break
    sleep 0.1
    tries=$((tries + 1))
  done
  rm -f "$number_file"
  if [ -z "$number" ]; then
    kill "$_wine_env_xvfb_pid" 2>/dev/null
    _wine_env_xvfb_pid=""
    _wine_env_fail "Xvfb did not start"
    return 1
  fi
  local shell_pid=$$ xvfb_pid=$_wine_env_xvfb_pid
  ( (while kill -0 "$shell_pid" 2>/dev/null && kill -0 "$xvfb_pid" 2>/dev/null; do sleep 2; done
     kill "$xvfb_pid" 2>/dev/null) </dev/null >/dev/null 2>&1 & )
  export DISPLAY=":$number"
}

# Creates the prefix on first use (or updates it after a Wine upgrade) and
# sets how a crash ends: no crash dialog, which would hang the test, and no
# debugger either. Wine's default debugger prints a dump and then lets the
# crashed program exit with status 0, so a crashing test would pass; with an
# empty debugger command the program ends with its exception code (an access
# violation, 0xC0000005, exits with status 5) after one line on stderr.
_wine_env_prepare_prefix() {
  local stamp="$WINEPREFIX/.sonvale-prefix" version settings="crash: no dialog, no debugger"
  version=$("$SONVALE_WINE" --version 2>/dev/null) || version=unknown
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version; $settings" ] && return 0
  mkdir -p "$WINEPREFIX" || { _wine_env_fail "cannot create $WINEPREFIX"; return 1; }
  local mode=""
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mode=-i
  elif [ ! -f "$stamp" ] || [ "$(cut -d';' -f1 "$stamp")" != "$version" ]; then
    mode=-u
  fi
  if [ -n "$mode" ]; then
    "$SONVALE_WINE" wineboot "$mode" >>"$SONVALE_WINE_LOG" 2>&1 || {
      _wine_env_fail "wineboot $mode failed for $WINEPREFIX"
      return 1
    }
  fi
  "$SONVALE_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >>"$SONVALE_WINE_LOG" 2>&1 &&
    "$SONVALE_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f >>"$SONVALE_WINE_LOG" 2>&1 || {
    _wine_env_fail "could not change the crash settings of $WINEPREFIX"
    return 1
  }
  # A prefix made here has no other users yet: wait for its start-up processes
  # to end so that it is complete on disk. An existing one may be busy with
  # another test; its running wineserver already holds the new settings.
  if [ "$mode" = -i ]; then
    "$SONVALE_WINESERVER" -w >>"$SONVALE_WINE_LOG" 2>&1 || {
      _wine_env_fail "wineserver -w failed for $WINEPREFIX"
      return 1
    }
  fi
  printf '%s\n' "$version; $settings" >"$stamp"
}

wine_env_wait() {
  "$SONVALE_WINESERVER" -w
}

wine_env_stop() {
  if [ -n "${SONVALE_WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    timeout 30 "$SONVALE_WINESERVER" -w 2>/dev/null || "$SONVALE_WINESERVER" -k 2>/dev/null || true
  fi
  if [ -n "${_wine_env_xvfb_pid:-}" ]; then
    kill "$_wine_env_xvfb_pid" 2>/dev/null || true
    local tries=0
    while kill -0 "$_wine_env_xvfb_pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
      sleep 0.1
      tries=$((tries + 1))
    done
    ! kill -0 "$_wine_env_xvfb_pid" 2>/dev/null || kill -9 "$_wine_env_xvfb_pid" 2>/dev/null || true
    _wine_env_xvfb_pid=""
  fi
  return 0
}

_wine_env_start() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd) || return 1

  # Debian keeps the 64-bit loader out of PATH, in /usr/lib/wine (/usr/bin/wine
  # is a wrapper that prefers a 32-bit loader): put it at the end of PATH so
  # that `wine64` also works under timeout, xargs and child scripts.
  if [ -z "$(type -P wine64)" ] && [ -x /usr/lib/wine/wine64 ]; then
    export PATH="$PATH:/usr/lib/wine"
  fi
  SONVALE_WINE=$(type -P wine64) || {
    _wine_env_fail "wine64 is not installed (apt-get install wine wine64)"
    return 1
  }
  SONVALE_WINESERVER=$(type -P wineserver) || {
    _wine_env_fail "wineserver is not installed (apt-get install wine wine64)"
    return 1
  }
  export SONVALE_WINE SONVALE_WINESERVER
  # Programs Wine starts itself (rundll32, regsvr32) must use the same loader.
  export WINELOADER="$SONVALE_WINE"

  local prefix="${SONVALE_WINEPREFIX:-$root/build-windows/wineprefix}"
  mkdir -p "$prefix" || { _wine_env_fail "cannot create $prefix"; return 1; }
  export WINEPREFIX
  WINEPREFIX=$(cd "$prefix" && pwd) || return 1
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="

  _wine_env_dir=$(dirname "$WINEPREFIX")
  export SONVALE_WINE_LOG="$_wine_env_dir/wine_env.log"
  : >>"$SONVALE_WINE_LOG" || { _wine_env_fail "cannot write $SONVALE_WINE_LOG"; return 1; }

  if ! _wine_env_display_usable; then
    if [ -n "${_wine_env_xvfb_pid:-}" ] && kill -0 "$_wine_env_xvfb_pid" 2>/dev/null; then
      _wine_env_fail "the Xvfb started earlier (pid $_wine_env_xvfb_pid) no longer answers"
      return 1
    fi
    _wine_env_start_xvfb || return 1
  fi

  # Two test scripts starting together must not both create the prefix.
  local lock_file="$WINEPREFIX.lock" status=0
  exec {_wine_env_lock_fd}>"$lock_file" || { _wine_env_fail "cannot open $lock_file"; return 1; }
  flock "$_wine_env_lock_fd"
  _wine_env_prepare_prefix || status=1
  exec {_wine_env_lock_fd}>&-
  if [ "$status" -ne 0 ]; then
    wine_env_stop
    return 1
  fi
}

_wine_env_start
