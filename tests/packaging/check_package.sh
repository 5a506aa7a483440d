#!/usr/bin/env bash
# check_package.sh CPACK BUILD OUTDIR VERSION GUI: makes the Debian package of
# BUILD with CPACK into OUTDIR, then checks its control fields (dpkg-deb -f)
# and its files (dpkg-deb -c and the data itself). GUI is 1 when the desktop
# program is built. Exit 77 (skipped) without dpkg-deb or dpkg-shlibdeps.
set -euo pipefail
cpack="$1"
build="$2"
out="$3"
version="$4"
gui="$5"
for tool in dpkg-deb dpkg-shlibdeps readelf; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 77; }
done

rm -rf "$out"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out.log" 2>&1 || { cat "$out.log" >&2; exit 1; }
debs=("$out"/retrova_"$version"_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no retrova_${version}_*.deb in $out" >&2; exit 1; }
deb="${debs[0]}"

status=0
fail() {
  echo "$deb: $*" >&2
  status=1
}
field() { dpkg-deb -f "$deb" "$1"; }

[ "$(field Package)" = retrova ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
description="$(field Description)"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "Description has no long part: '$description'"
# The synopsis is not repeated as the long part's first line.
[ "$(sed -n 1p <<<"$description")" != "$(sed -n '2s/^ //p' <<<"$description")" ] ||
  fail "Description repeats its synopsis"

# Depends: what dpkg-shlibdeps found (the C and C++ run-times at least, and
# Qt for the desktop program) and what it cannot see.
depends=",$(field Depends | tr -d ' '),"
want=(libc6 libstdc++6)
[ "$gui" = 1 ] && want+=(libqt6widgets6 libqt6gui6 libqt6core6 fonts-liberation2)
for dep in "${want[@]}"; do
  [[ "$depends" == *",$dep"[,\(]* ]] || fail "Depends lacks $dep: $depends"
done

# Files: the wanted ones are there; nothing lies outside the program's
# places; everything is root's, programs 0755 and the rest 0644.
listing="$(dpkg-deb -c "$deb")"
files="$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing")"
wanted=(./usr/bin/retrova-cli ./usr/share/man/man1/retrova-cli.1.gz ./usr/share/doc/retrova/README.md.gz
        ./usr/share/doc/retrova/changelog.gz)
[ "$gui" = 1 ] && wanted+=(./usr/bin/retrova ./usr/share/man/man1/retrova.1.gz
                           ./usr/share/applications/retrova.desktop
                           ./usr/share/icons/hicolor/scalable/apps/retrova.svg
                           ./usr/share/icons/hicolor/48x48/apps/retrova.png
                           ./usr/share/icons/hicolor/256x256/apps/retrova.png)
for f in "${wanted[@]}"; do
  grep -qxF "$f" <<<"$files" || fail "lacks $f"
done
while read -r f; do
  case "$f" in
    ./usr/bin/retrova | ./usr/bin/retrova-cli | ./usr/share/man/man1/*.1.gz | ./usr/share/doc/retrova/* | \
      ./usr/share/applications/retrova.desktop | ./usr/share/icons/hicolor/*/apps/retrova.*) ;;
    *) fail "holds $f, which is not one of the program's files" ;;
  esac
done <<<"$files"
while read -r mode owner _ _ _ f; do
  [ "$owner" = root/root ] || fail "$f belongs to $owner"
  case "$mode:$f" in
    d*) ;;
    -rwxr-xr-x:./usr/bin/*) ;;
    -rw-r--r--:./usr/share/*) ;;
    *) fail "$f has mode $mode" ;;
  esac
done <<<"$listing"

# The data: programs stripped, compressed documents made by gzip -n (no name,
# no time stamp: flags 0, MTIME 0).
data="$out/data"
mkdir -p "$data"
dpkg-deb -x "$deb" "$data"
for f in "$data"/usr/bin/*; do
  if readelf -S "$f" | grep -q '\.debug_info'; then fail "${f#"$data"} is not stripped"; fi
done
while read -r gz; do
  [ "$(od -An -tx1 -j3 -N5 "$gz" | tr -d ' \n')" = 0000000000 ] ||
    fail "${gz#"$data"} was not made with gzip -n"
done < <(find "$data" -name '*.gz')
gzip -dc "$data/usr/share/doc/retrova/changelog.gz" | head -1 | grep -qxF "retrova ($version) unstable; urgency=medium" ||
  fail "the changelog's first entry is not $version"
"$data/usr/bin/retrova-cli" --version | grep -qxF "retrova-cli $version" || fail "packaged retrova-cli is not $version"

[ $status -eq 0 ] && echo "$deb: fields and $(wc -l <<<"$files") files as they should be"
exit $status
