#!/usr/bin/env bash
# Builds the Debian package and checks its files and that its dependencies
# are exactly what the binary links against, plus the SASL GSSAPI module.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/agewarden_*.deb)
info=$(dpkg-deb -I "$deb")
files=$(dpkg-deb -c "$deb")
grep -q './usr/bin/agewarden$' <<<"$files" || { echo "no binary in the package"; exit 1; }
grep -q './usr/share/man/man1/agewarden.1.gz$' <<<"$files" || { echo "no man page in the package"; exit 1; }

depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Depends: $depends"
grep -q 'libsasl2-modules-gssapi-mit' <<<"$depends" || { echo "the SASL GSSAPI module is missing"; exit 1; }

# Every library the binary loads comes from a package the package depends on,
# and every dependency but the SASL module is such a package.
expected=$(ldd "$build/agewarden" | awk '/=>/ {print $3}' | xargs -r readlink -f |
  xargs -r dpkg -S 2>/dev/null | cut -d: -f1 | sort -u)
named=$(tr ',' '\n' <<<"$depends" | sed 's/(.*)//; s/^ *//; s/ *$//' | grep -v '^$' | sort -u)
for p in $expected; do
  grep -qx "$p" <<<"$named" || { echo "links against $p but does not depend on it"; exit 1; }
done
for p in $named; do
  [ "$p" = libsasl2-modules-gssapi-mit ] && continue
  grep -qx "$p" <<<"$expected" || { echo "depends on $p but does not link against it"; exit 1; }
done
echo "package $deb checked"
