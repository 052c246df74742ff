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
# The movie decoder module lies where the programs look for it, relative to themselves.
FROM_BIN=$(strings "$WORK/root/usr/bin/pixsalvo3" | grep -m1 -x '\.\./lib.*/pixsalvo3')
[ -n "$FROM_BIN" ] && [ -f "$WORK/root/usr/bin/$FROM_BIN/px3-movieframe.so" ] ||
  fail "the movie decoder module is not at bin/${FROM_BIN:-?}/px3-movieframe.so"
lintian --fail-on error --tag-display-limit 0 "$DEB" >"$WORK/lintian.txt" 2>&1 ||
  { cat "$WORK/lintian.txt"; fail "lintian found errors"; }
cat "$WORK/lintian.txt"
echo "test_package: ok"
