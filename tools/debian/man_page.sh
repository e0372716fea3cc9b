#!/bin/sh
# Writes the gzipped manual page of the sonvale command, or of one of its
# subcommands, from its --help text.
#
# usage: man_page.sh HELP2MAN SONVALE VERSION SUBCOMMAND|"" SUMMARY OUT.1.gz
set -eu
help2man=$1 sonvale=$2 version=$3 sub=$4 summary=$5 out=$6
if [ -n "$sub" ]; then
  program="$sonvale $sub" title=$(echo "sonvale-$sub" | tr a-z A-Z)
else
  program=$sonvale title=SONVALE
fi
# --help reads nothing, but keep any registry store out of its reach.
SONVALE_REGISTRY=/nonexistent/registry.reg "$help2man" -N --no-info --no-discard-stderr \
  --version-string="$version" -n "$summary" "$program" >"$out.tmp"
# help2man titles the page after the program's file name, and names it
# "sonvale SUB" where the page is sonvale-SUB.
sed -e '1,3s/^\.TH SONVALE /.TH '"$title"' /' -e "s/^sonvale $sub \\\\-/sonvale-$sub \\\\-/" "$out.tmp" |
  gzip -9n >"$out"
rm -f "$out.tmp"
