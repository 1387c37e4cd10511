#!/usr/bin/env bash
# Fetches RE2's source from Debian's archive (the version Debian 12 ships as libre2-dev) into DIR,
# with the Unicode tables Debian's build generates, for the Windows cross-build: mingw-w64 has no
# RE2 of its own, so the windows preset compiles this copy (JS_RE2_SOURCE_DIR).
# Usage: cmake/re2-source.sh DIR   (DIR/re2 then holds the source; nothing is done if it does)
set -euo pipefail
dest=$(realpath -m "${1:?usage: cmake/re2-source.sh DIR}")
[[ -f $dest/re2/CMakeLists.txt && -f $dest/re2/re2/unicode_groups.cc ]] && exit 0

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
# The tables are made from the Unicode data Debian packages, not downloaded.
if ! dpkg-query -W -f='${Status}' unicode-data 2>/dev/null | grep -q 'install ok installed'; then
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq unicode-data
fi
# Source packages come from the same archive as the binary ones.
if ! apt-get source --print-uris re2 >/dev/null 2>&1; then
  "${as_root[@]}" tee /etc/apt/sources.list.d/jogshuttle-src.sources >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  "${as_root[@]}" apt-get update -qq
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source --download-only -qq re2 >/dev/null 2>&1)
tar -xf "$work"/re2_*.orig.tar.* -C "$work"
source_dir=$(find "$work" -maxdepth 1 -type d -name 're2-*' | head -n 1)
cd "$source_dir/re2"
sed -i 's|^_UNICODE_DIR = .*|_UNICODE_DIR = "/usr/share/unicode"|' unicode.py
perl make_perl_groups.pl > perl_groups.cc
python3 make_unicode_casefold.py > unicode_casefold.cc
python3 make_unicode_groups.py > unicode_groups.cc
mkdir -p "$dest"
rm -rf "$dest/re2"
mv "$source_dir" "$dest/re2"
echo "re2-source: RE2's source is in $dest/re2"
