#!/usr/bin/env bash
# Checks an installed Quillprint under PREFIX (a `cmake --install --prefix`
# folder, or the usr/ of an unpacked package): every file is in its place,
# the desktop entry, metainfo and manual pages pass their validators, and the
# installed program answers --version/--help, finds its catalogues from the
# installed layout and starts and ends cleanly on the offscreen platform.
#   tools/check-installed.sh PREFIX
set -uo pipefail

prefix=$(cd "${1:?usage: check-installed.sh PREFIX}" && pwd)
id=org.quillprint.Quillprint
failures=0
fail() { echo "check-installed: $*" >&2; failures=$((failures + 1)); }

for f in bin/quillprint bin/quillprint-clock-sim \
  share/quillprint/locale/de/LC_MESSAGES/default.mo \
  share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
  share/icons/hicolor/scalable/apps/$id.svg \
  share/icons/hicolor/{48x48,128x128,256x256}/apps/$id.png \
  share/man/man1/quillprint.1 share/man/man1/quillprint-clock-sim.1 \
  share/doc/quillprint/README.md; do
  # A package compresses manual pages and longer documents.
  [ -f "$prefix/$f" ] || [ -f "$prefix/$f.gz" ] || fail "missing $f"
done

# Each PNG is as large as its folder says (width and height from the IHDR chunk).
for png in "$prefix"/share/icons/hicolor/*x*/apps/$id.png; do
  [ -f "$png" ] || continue
  size=$(basename "$(dirname "$(dirname "$png")")")
  read -r w h < <(od -An -j16 -N8 -tu1 "$png" |
    awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [ "${w}x${h}" = "$size" ] || fail "$png is ${w}x${h}, not $size"
done

out=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1) && [ -z "$out" ] ||
  fail "desktop-file-validate: $out"
# Quillprint has no homepage, and its metainfo names none: appstream 1.0
# warns about that (url-homepage-missing), the one finding taken here.
out=$(appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" 2>&1)
grep -q 'Validation' <<<"$out" && ! grep '^[EW]:' <<<"$out" | grep -qv ': url-homepage-missing$' ||
  fail "appstreamcli validate: $out"
for page in "$prefix"/share/man/man1/quillprint*.1*; do
  out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) &&
    [ -z "$out" ] || fail "man $(basename "$page"): $out"
done

# The program, as a user starts it.
export QT_QPA_PLATFORM=offscreen QT_QPA_PLATFORMTHEME=
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
qp="$prefix/bin/quillprint"
out=$(timeout 60 "$qp" --version 2>&1) && [ "$out" = "quillprint 2.0" ] ||
  fail "--version gave: $out"
out=$(LANG=C timeout 60 "$qp" --help 2>&1) && grep -q -- '--version' <<<"$out" && grep -q dialout <<<"$out" ||
  fail "--help gave: $out"
out=$(LANG=de_DE.UTF-8 LANGUAGE= LC_ALL= LC_MESSAGES= timeout 60 "$qp" --help 2>&1) &&
  grep -q '^Aufruf: quillprint' <<<"$out" || fail "German --help gave: $out"
out=$(timeout 60 "$prefix/bin/quillprint-clock-sim" --help 2>&1) && grep -q -- '--link' <<<"$out" ||
  fail "quillprint-clock-sim --help gave: $out"

# Up on the offscreen platform in German: which catalogue it read, then it ends.
expected="$prefix/share/quillprint/locale/de/LC_MESSAGES/default.mo"
data=$(mktemp -d)
out=$(cd / && XDG_DATA_HOME=$data LANG=de_DE.UTF-8 LANGUAGE= LC_ALL= LC_MESSAGES= QUILLPRINT_REPORT_SHOWN=1 timeout 60 "$qp" 2>&1)
rc=$?
rm -rf "$data"
[ $rc -eq 0 ] || fail "the program ended with status $rc: $out"
grep -q "^shown rss_kb=[0-9]* catalogue=$expected\$" <<<"$out" ||
  fail "the program did not report the installed German catalogue $expected: $out"

if ((failures)); then
  echo "check-installed: $failures check(s) failed under $prefix" >&2
  exit 1
fi
echo "check-installed: all checks passed under $prefix"
