#!/usr/bin/env bash
# `cmake --install` into a temporary prefix, as a desktop and a developer
# find it: exactly the files expected, each in its place, and the libsona
# example built against the installed sona.pc, linked to the SONAME and run
# on SDL's silent driver, which proves the decoder found in its private
# directory.
#   check_install.sh BUILD_DIR SOURCE_DIR C_COMPILER APP_ID LIBDIR
set -euo pipefail
build=$1 source=$2 cc=$3 app_id=$4 libdir=$5

tmp=$(mktemp -d /tmp/quadrant-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

# Every file and link, and nothing else: the decoder module above all must
# stay out of the library directory that programs search.
expected=$(sort <<EOF_FILES
bin/quadrant
include/sona.h
$libdir/libsona.so
$libdir/libsona.so.1
$libdir/libsona.so.1.0.0
$libdir/pkgconfig/sona.pc
$libdir/sona/libsona-ffmpeg.so
share/applications/$app_id.desktop
share/icons/hicolor/scalable/apps/$app_id.svg
share/man/man1/quadrant.1.gz
share/metainfo/$app_id.metainfo.xml
EOF_FILES
)
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
[ "$installed" = "$expected" ] ||
  fail "installed files differ from the expected ones:$(diff <(echo "$expected") <(echo "$installed"))"

desktop=$prefix/share/applications/$app_id.desktop
# Files only, as paths: the library opens no URLs, so %F, not %U.
grep -qx 'Exec=quadrant %F' "$desktop" || fail "the launcher does not give quadrant its files"
grep -q '^MimeType=.*audio/flac;' "$desktop" || fail "the launcher offers no audio formats"
grep -qx "Icon=$app_id" "$desktop" || fail "the launcher names another icon"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
  "$prefix/share/metainfo/$app_id.metainfo.xml" || fail "the metainfo names another launcher"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion sona)" = "$(sed -n 's/^Version: //p' "$build/sona/sona.pc")" ] ||
  fail "pkg-config does not find the installed sona.pc"
# shellcheck disable=SC2046 # pkg-config's words are meant to split
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$source/examples/sona_play.c" \
  $(pkg-config --cflags --libs sona) -o "$tmp/sona_play"
readelf -d "$tmp/sona_play" | grep -q 'NEEDED.*\[libsona\.so\.1\]' ||
  fail "the example does not need libsona.so.1: $(readelf -d "$tmp/sona_play" | grep NEEDED)"

sox -n -r 44100 -c 2 "$tmp/tone.wav" synth 0.5 sine 440
export LD_LIBRARY_PATH=$prefix/$libdir SDL_AUDIODRIVER=dummy
# Enter comes at once from /dev/null.
"$tmp/sona_play" "$tmp/tone.wav" </dev/null || fail "the example did not play a WAV file"
status=0
err=$("$tmp/sona_play" "$tmp/missing.wav" 2>&1 </dev/null) || status=$?
[ "$status" -eq 1 ] && grep -q 'error 5' <<<"$err" ||
  fail "the example did not report a missing file as SONA_ERROR_FILEOPEN: $status, $err"
echo "installed tree and libsona example: ok"
