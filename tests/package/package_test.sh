#!/usr/bin/env bash
# Builds the Debian package and checks that its dependencies are
# exactly what the binary links against plus the SASL GSSAPI module, that its
# man page and binary work as installed, and that lintian finds nothing worse
# than informational tags.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/agewarden_*.deb)
info=$(dpkg-deb -I "$deb")

depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Depends: $depends"
grep -q 'libsasl2-modules-gssapi-mit' <<<"$depends" || { echo "the SASL GSSAPI module is missing"; exit 1; }

# Every library the binary names (its NEEDED entries) comes from a package
# the package depends on, and every dependency but the SASL module is such a
# package. /lib and /usr/lib are the same folder on Debian 12.
owner() {
  local path=$1 p
  for candidate in "$path" "${path#/usr}" "/usr$path"; do
    p=$(dpkg -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1) && [ -n "$p" ] && { echo "$p"; return; }
  done
  echo "no package owns $path" >&2
  return 1
}
expected=$(for lib in $(readelf -d "$build/agewarden" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
  owner "$(ldd "$build/agewarden" | awk -v l="$lib" '$1 == l {print $3}')"
done | sort -u)
named=$(tr ',' '\n' <<<"$depends" | sed 's/(.*)//; s/^ *//; s/ *$//' | grep -v '^$' | sort -u)
for p in $expected; do
  grep -qx "$p" <<<"$named" || { echo "links against $p but does not depend on it"; exit 1; }
done
for p in $named; do
  [ "$p" = libsasl2-modules-gssapi-mit ] && continue
  grep -qx "$p" <<<"$expected" || { echo "depends on $p but does not link against it"; exit 1; }
done
# The packaged files as installed: the man page shows without warnings, the
# binary runs and prints its usage text.
dpkg-deb -x "$deb" "$work/root"
warnings=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/agewarden.1.gz" 2>&1 >"$work/man.txt")
[ -z "$warnings" ] && grep -q 'SEE ALSO' "$work/man.txt" || { echo "man page: ${warnings:-no SEE ALSO}"; exit 1; }
"$work/root/usr/bin/agewarden" -h >"$work/usage.txt" && status=0 || status=$?
[ "$status" -eq 255 ] && grep -q '^Syntax: agewarden <user-select-criteria>' "$work/usage.txt" ||
  { echo "the packaged agewarden -h: status $status, no usage text"; exit 1; }
# lintian (which also wants the copyright file and the changelog):
# informational tags are fine, an error or a warning is not.
command -v lintian >/dev/null || { echo "lintian is not installed (scripts/deps)"; exit 1; }
report=$(lintian --info "$deb" 2>&1) || true
echo "$report"
if grep -q '^[EW]: ' <<<"$report"; then
  echo "lintian reports errors or warnings"
  exit 1
fi
echo "package $deb checked"
