#!/usr/bin/env bash
# Fetches RE2's source from Debian's archive (the version Debian 12 ships as libre2-dev) into DIR,
# with the Unicode tables Debian's build generates, for the Windows cross-build: mingw-w64 has no
# RE2 of its own, so the windows preset compiles this copy (JS_RE2_SOURCE_DIR). The preset runs
# this itself when the copy is missing (cmake/Re2Source.cmake); by hand:
# Usage: cmake/re2-source.sh DIR   (DIR/re2 then holds the source; nothing is done if it does)
#
# It changes nothing on the machine and needs no root: apt runs with a list and a cache of its
# own in a scratch folder, reading the archive this machine's own apt sources name (whatever
# mirror that is), with their source packages added.
set -euo pipefail
dest=$(realpath -m "${1:?usage: cmake/re2-source.sh DIR}")
[[ -f $dest/re2/CMakeLists.txt && -f $dest/re2/re2/unicode_groups.cc ]] && exit 0

say() { printf 're2-source: %s\n' "$*" >&2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/fetch"

# The machine's Debian archive entries, each also for source packages.
found=0
if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
  awk '/^[Tt]ypes:/ && / deb( |$)/ { print "Types: deb deb-src"; next } { print }' \
    /etc/apt/sources.list.d/debian.sources >"$work/parts/debian.sources"
  found=1
fi
if [[ -f /etc/apt/sources.list ]] && grep -Eq '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list; then
  sed -nE 's/^[[:space:]]*deb[[:space:]]+(.*)$/deb \1\ndeb-src \1/p' /etc/apt/sources.list \
    >"$work/parts/debian.list"
  found=1
fi
((found)) || { say "no Debian archive in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list"; exit 1; }

apt_options=(
  -o "Dir::Etc::SourceList=$work/parts/none.list" -o "Dir::Etc::SourceParts=$work/parts"
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
  -o "Debug::NoLocking=1" -o "APT::Get::List-Cleanup=0"
)
# As root apt fetches as the user _apt, who may not reach the scratch folder.
[[ $(id -u) -eq 0 ]] && apt_options+=(-o "APT::Sandbox::User=root")

say "reading the archive's package lists (a scratch copy, the machine's own stay as they are)"
apt-get "${apt_options[@]}" -qq update >"$work/update.log" 2>&1 ||
  { cat "$work/update.log" >&2; say "apt-get update failed"; exit 1; }
(cd "$work/fetch" && apt-get "${apt_options[@]}" -qq source --download-only re2) >&2 ||
  { say "apt-get source re2 failed"; exit 1; }

# The tables are made from the Unicode data Debian packages, not from the internet: the
# machine's copy, or the package unpacked here.
unicode_dir=/usr/share/unicode
if [[ ! -f $unicode_dir/UnicodeData.txt ]]; then
  (cd "$work/fetch" && apt-get "${apt_options[@]}" -qq download unicode-data) >&2 ||
    { say "apt-get download unicode-data failed"; exit 1; }
  dpkg-deb -x "$work"/fetch/unicode-data_*.deb "$work/unicode-data"
  unicode_dir=$work/unicode-data/usr/share/unicode
fi

tar -xf "$work"/fetch/re2_*.orig.tar.* -C "$work"
source_dir=$(find "$work" -maxdepth 1 -type d -name 're2-*' | head -n 1)
[[ -n $source_dir ]] || { say "the source archive holds no re2-* folder"; exit 1; }
cd "$source_dir/re2"
sed -i "s|^_UNICODE_DIR = .*|_UNICODE_DIR = \"$unicode_dir\"|" unicode.py
perl make_perl_groups.pl > perl_groups.cc
python3 make_unicode_casefold.py > unicode_casefold.cc
python3 make_unicode_groups.py > unicode_groups.cc
mkdir -p "$dest"
rm -rf "$dest/re2"
mv "$source_dir" "$dest/re2"
say "RE2's source is in $dest/re2"
