#!/usr/bin/env bash
# The Debian package: built by scripts/make-package, it holds every file in its place under
# /usr with dependencies computed from the binaries, and lintian finds no error in it.
#
#   test_package.sh SOURCE_DIR
set -euo pipefail
SRC=$(realpath "$1")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "test_package: $*" >&2; exit 1; }

DEB=$("$SRC/scripts/make-package")
[ -f "$DEB" ] || fail "make-package printed no package: $DEB"
dpkg-deb -c "$DEB" | awk '{print $6}' >"$WORK/contents.txt"
for f in ./usr/bin/pixsalvo3 ./usr/bin/px3 ./usr/share/pixsalvo3/Skin/PX3BG.png ./usr/share/pixsalvo3/Help/PX3Help.html \
         ./usr/share/applications/example.tolvex.Pixsalvo3.desktop ./usr/share/man/man1/px3.1.gz \
         ./usr/share/doc/pixsalvo3/copyright ./usr/share/doc/pixsalvo3/changelog.Debian.gz \
         ./usr/lib/udev/rules.d/60-pixsalvo3-card-readers.rules ./usr/share/bash-completion/completions/px3; do
  grep -qx "$f" "$WORK/contents.txt" || fail "missing from the package: $f"
done
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
for lib in libqt6widgets6 libcurl libraw libudev1 libblkid1 libsodium libavformat libavcodec libswscale; do
  echo "$DEPENDS" | grep -q "$lib" || fail "Depends lacks $lib: $DEPENDS"
done
# Unpacked, the programs run: px3 answers --version from the package's own files.
dpkg-deb -x "$DEB" "$WORK/root"
"$WORK/root/usr/bin/px3" --help >/dev/null || fail "the packaged px3 does not run"
# A movie's thumbnail loads the movie decoder module from the package, beside the
# programs, not from the build tree.
ffmpeg -loglevel error -f lavfi -i color=c=red:s=64x48:d=0.2 -frames:v 1 "$WORK/clip.mp4"
{ head -c 65536 /dev/zero; cat "$WORK/clip.mp4"; head -c 65536 /dev/zero; } >"$WORK/card.img"
LOADED=$(HOME="$WORK" LD_DEBUG=files "$WORK/root/usr/bin/px3" --card "E=$WORK/card.img" recover E --types all \
  --thumbnails --work "$WORK/run" 2>&1 >/dev/null | sed -n 's/.*file=\([^ ]*px3-movieframe\.so\).*/\1/p' | head -1 || true)
case "$LOADED" in
  "$WORK/root/"*) ;;
  *) fail "the packaged px3 did not load its movie decoder module (loaded: ${LOADED:-none})" ;;
esac
lintian --fail-on error --tag-display-limit 0 "$DEB" >"$WORK/lintian.txt" 2>&1 ||
  { cat "$WORK/lintian.txt"; fail "lintian found errors"; }
cat "$WORK/lintian.txt"
echo "test_package: ok"
