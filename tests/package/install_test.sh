#!/usr/bin/env bash
# Installs into a temporary prefix, checks the man page with groff's warnings
# on, and runs the installed binary's usage text.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
page="$prefix/share/man/man1/agewarden.1.gz"

warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || { echo "groff warnings: $warnings"; exit 1; }
man -l "$page" 2>&1 | grep -q 'SEE ALSO' || { echo "man -l does not show the page"; exit 1; }
warnings=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "man warnings: $warnings"; exit 1; }

set +e
usage=$("$prefix/bin/agewarden" -h)
status=$?
set -e
[ "$status" -eq 255 ] || { echo "-h exit status $status, expected 255"; exit 1; }
grep -q '^Syntax: agewarden <user-select-criteria>' <<<"$usage" || { echo "no usage text"; exit 1; }
echo "installed and checked in $prefix"
