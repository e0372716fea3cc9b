#!/bin/sh
# Installs sd_sonvale for the current user's speech-dispatcher: the module
# under ~/.local/libexec/speech-dispatcher-modules, its configuration as
# ~/.config/speech-dispatcher/modules/sonvale.conf (an existing one is kept),
# and the AddModule line in ~/.config/speech-dispatcher/speechd.conf. Running
# it again updates the module and adds nothing twice.
#
# usage: install_user.sh PATH/TO/sd_sonvale
set -eu

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
  echo "usage: install_user.sh PATH/TO/sd_sonvale" >&2
  exit 2
fi
module=$1
here=$(cd "$(dirname "$0")" && pwd)
config_dir=${XDG_CONFIG_HOME:-$HOME/.config}/speech-dispatcher
module_dir=$HOME/.local/libexec/speech-dispatcher-modules
system_modules=$(pkg-config --variable=modulebindir speech-dispatcher 2>/dev/null || true)
[ -n "$system_modules" ] || system_modules=/usr/lib/speech-dispatcher-modules

mkdir -p "$module_dir" "$config_dir/modules"
install -m 755 "$module" "$module_dir/sd_sonvale"
[ -f "$config_dir/modules/sonvale.conf" ] || install -m 644 "$here/sonvale.conf" "$config_dir/modules/sonvale.conf"

# The user's speechd.conf replaces the system's: start from a copy of it.
conf=$config_dir/speechd.conf
if [ ! -f "$conf" ]; then
  if [ -f /etc/speech-dispatcher/speechd.conf ]; then
    cp /etc/speech-dispatcher/speechd.conf "$conf"
  else
    : >"$conf"
  fi
fi

if ! grep -q '^[[:space:]]*AddModule[[:space:]][[:space:]]*"sonvale"' "$conf"; then
  # speech-dispatcher finds its modules by itself only while no AddModule line
  # is given: name the ones it would have found, so that they stay.
  if ! grep -q '^[[:space:]]*AddModule[[:space:]]' "$conf"; then
    {
      echo
      echo "# The modules speech-dispatcher found by itself before Sonvale was added."
      for binary in "$system_modules"/sd_*; do
        [ -f "$binary" ] || continue
        name=${binary##*/sd_}
        case $name in generic | dummy) continue ;; esac
        echo "AddModule \"$name\" \"sd_$name\" \"$name.conf\""
      done
    } >>"$conf"
  fi
  echo >>"$conf"
  # speech-dispatcher 0.11 looks for a module named without a path only in its own directory.
  sed "s|\"sd_sonvale\"|\"$module_dir/sd_sonvale\"|" "$here/speechd-sonvale.conf" >>"$conf"
fi
echo "sd_sonvale installed for $(id -un); restart speech-dispatcher (or log in again) to load it."
