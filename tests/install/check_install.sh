#!/usr/bin/env bash
# `cmake --install` into a temporary prefix, as a desktop and a developer
# find it: every file in its place and named alike, the program finding its
# library through its RUNPATH, and the libsona example built against the
# installed sona.pc and run on SDL's silent driver.
#   check_install.sh BUILD_DIR SOURCE_DIR C_COMPILER APP_ID
set -euo pipefail
build=$1 source=$2 cc=$3 app_id=$4

tmp=$(mktemp -d /tmp/quadrant-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/quadrant lib/libsona.so lib/libsona-ffmpeg.so include/sona.h \
            lib/pkgconfig/sona.pc share/applications/$app_id.desktop \
            share/icons/hicolor/scalable/apps/$app_id.svg share/metainfo/$app_id.metainfo.xml; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done

desktop=$prefix/share/applications/$app_id.desktop
# The program takes no command line: no %f or %U for a launcher to fill.
grep -qx 'Exec=quadrant' "$desktop" || fail "the launcher does not run plain quadrant"
grep -qx "Icon=$app_id" "$desktop" || fail "the launcher names another icon"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
  "$prefix/share/metainfo/$app_id.metainfo.xml" || fail "the metainfo names another launcher"

runpath=$(readelf -d "$prefix/bin/quadrant" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/../lib' ] || fail "quadrant's RUNPATH is '$runpath'"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion sona)" = "$(sed -n 's/^Version: //p' "$build/sona/sona.pc")" ] ||
  fail "pkg-config does not find the installed sona.pc"
# shellcheck disable=SC2046 # pkg-config's words are meant to split
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$source/examples/sona_play.c" \
  $(pkg-config --cflags --libs sona) -o "$tmp/sona_play"

sox -n -r 44100 -c 2 "$tmp/tone.wav" synth 0.5 sine 440
export LD_LIBRARY_PATH=$prefix/lib SDL_AUDIODRIVER=dummy
# Enter comes at once from /dev/null.
"$tmp/sona_play" "$tmp/tone.wav" </dev/null || fail "the example did not play a WAV file"
status=0
err=$("$tmp/sona_play" "$tmp/missing.wav" 2>&1 </dev/null) || status=$?
[ "$status" -eq 1 ] && grep -q 'error 5' <<<"$err" ||
  fail "the example did not report a missing file as SONA_ERROR_FILEOPEN: $status, $err"
echo "installed tree and libsona example: ok"
