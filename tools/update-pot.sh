#!/usr/bin/env bash
# Makes the template of every text Quillprint translates, i18n/po/default.pot:
# the texts of tr() / QCoreApplication::translate() calls in the program's
# sources (found by xgettext), and the list in i18n/library-texts.pot of texts
# no such call names (the serial and printer message tables, Qt's own texts).
# The result depends only on the sources: no dates, no line numbers.
#
#   tools/update-pot.sh            rewrite i18n/po/default.pot
#   tools/update-pot.sh --merge    also merge it into every i18n/po/<lang>/default.po
#   tools/update-pot.sh --output F write the template to F only (the tests compare)
#
# After adding a user-visible text:
#   1. tools/update-pot.sh --merge
#   2. in each i18n/po/<lang>/default.po, fill the new empty msgstr entries (a
#      text with %n has one msgstr[i] per plural form of the language)
#   3. ctest -R i18n_catalogues   (template current, every catalogue complete,
#      msgfmt --check clean)
# A text Qt itself shows (a new standard dialog, button or menu) has no tr()
# call of ours: run the i18n_qt_test with QP_LOG_QT_TEXTS=1 to see what Qt
# asks for, add those texts to i18n/library-texts.pot, and go on at step 1.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
template=i18n/po/default.pot
output=$template
merge=0
while (($#)); do
  case $1 in
    --merge) merge=1 ;;
    --output) output=$2; shift ;;
    *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
  shift
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The program's own sources; tests, benchmarks and tools show nothing to users.
find app clocklink i18n printer printout serial -type f \( -name '*.cpp' -o -name '*.h' \) |
  sort >"$tmp/files"

# tr(text), tr(text, disambiguation), translate(context, text, ...) and the
# no-op markers. A disambiguation becomes the entry's msgctxt, as the lookup
# tries it. --flag stops xgettext taking "%n" or "100%" for printf formats.
xgettext --language=C++ --qt --from-code=UTF-8 --add-location=file \
  --keyword --keyword=tr:1 --keyword=tr:1,2c \
  --keyword=translate:1c,2 --keyword=QT_TR_NOOP:1 --keyword=QT_TRANSLATE_NOOP:1c,2 \
  --flag=tr:1:no-c-format --flag=translate:2:no-c-format \
  --files-from="$tmp/files" --output="$tmp/program.pot"

msgcat --use-first i18n/library-texts.pot "$tmp/program.pot" --output-file="$tmp/all.pot"

{
  cat <<'HEADER'
# Template of every text Quillprint translates.
# Made by tools/update-pot.sh from the sources and i18n/library-texts.pot; do not edit.
msgid ""
msgstr ""
"Project-Id-Version: Quillprint\n"
"Language: \n"
"MIME-Version: 1.0\n"
"Content-Type: text/plain; charset=UTF-8\n"
"Content-Transfer-Encoding: 8bit\n"
"Plural-Forms: nplurals=INTEGER; plural=EXPRESSION;\n"
HEADER
  # Drop msgcat's header; give Qt's "%n" texts their plural forms (Qt counts
  # with the msgid itself, so msgid_plural repeats it); an empty
  # disambiguation is no context; "no-c-format" was only for xgettext.
  awk 'BEGIN { RS = ""; FS = "\n" }
    NR == 1 { next }
    {
      plural = ($0 ~ /\n#,[^\n]*qt-plural-format/ || $0 ~ /^#,[^\n]*qt-plural-format/)
      out = ""; inid = 0; ids = ""
      for (i = 1; i <= NF; i++) {
        line = $i
        if (line == "msgctxt \"\"") continue
        if (line ~ /^#,/) {
          n = split(substr(line, 3), flags, ",")
          line = ""
          for (f = 1; f <= n; f++) {
            gsub(/ /, "", flags[f])
            if (flags[f] != "no-c-format" && flags[f] != "")
              line = line (line == "" ? "#, " : ", ") flags[f]
          }
          if (line == "") continue
        }
        if (line ~ /^msgid /) { inid = 1; ids = line; out = out line "\n"; continue }
        if (inid && line ~ /^"/) { ids = ids "\n" line; out = out line "\n"; continue }
        if (line ~ /^msgstr "/ && plural && !(out ~ /msgid_plural/)) {
          sub(/^msgid /, "msgid_plural ", ids)
          out = out ids "\nmsgstr[0] \"\"\nmsgstr[1] \"\"\n"
          inid = 0; continue
        }
        inid = 0
        out = out line "\n"
      }
      printf "\n%s", out
    }' "$tmp/all.pot"
} >"$tmp/default.pot"

# Check what was made before it replaces anything (a template's header has
# placeholders, so not the header).
msgfmt --check-format --check-domain --output-file=/dev/null "$tmp/default.pot"
cp "$tmp/default.pot" "$output"

if ((merge)); then
  for po in i18n/po/*/default.po; do
    msgmerge --quiet --update --backup=none --no-fuzzy-matching "$po" "$template"
    echo "$po: $(msgfmt --statistics --output-file=/dev/null "$po" 2>&1)"
  done
fi
