#!/usr/bin/env bash
# The shipped catalogues against the template: the template is what
# tools/update-pot.sh makes of the sources today; every catalogue translates
# each of its texts (nothing missing, fuzzy or empty, not one plural form) and
# holds no text the template lacks; msgfmt --check passes.
# Usage: check_catalogues.sh <source dir> <language>...
set -uo pipefail
export LC_ALL=C
root=$1; shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

if ! "$root/tools/update-pot.sh" --output "$tmp/default.pot"; then
  bad "tools/update-pot.sh failed"
elif ! diff -u "$root/i18n/po/default.pot" "$tmp/default.pot"; then
  bad "i18n/po/default.pot is not what the sources give: run tools/update-pot.sh --merge"
fi
template=$tmp/default.pot
[ -s "$template" ] || template=$root/i18n/po/default.pot

for lang in "$@"; do
  po=$root/i18n/po/$lang/default.po
  if [ ! -f "$po" ]; then
    bad "no catalogue for $lang"
    continue
  fi
  msgfmt --check --output-file=/dev/null "$po" || bad "$lang: msgfmt --check"
  msgcmp "$po" "$template" || bad "$lang: texts missing, untranslated or fuzzy"
  msgcmp --use-untranslated "$template" "$po" || bad "$lang: texts the template no longer has"
  # msgcmp counts a plural entry as translated when any one form is.
  awk -v po="$po" '
    function report() { printf "%s:%d: empty %s\n", po, pending, what; found = 1 }
    # A msgstr "" with no string lines after it is empty.
    pending && !/^"/ { report() }
    { pending = 0 }
    # The header is the entry whose msgid is "" and nothing more.
    /^msgid / { header = ($0 == "msgid \"\""); inid = 1; next }
    inid && /^"/ { header = 0; next }
    { inid = 0 }
    /^msgstr(\[[0-9]+\])? ""$/ && !header { pending = NR; what = $0 }
    END { if (pending) report(); exit found }
  ' "$po" || bad "$lang: empty translations"
done
exit $fail
