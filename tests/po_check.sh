#!/bin/sh
# Checks a translation against the texts the sources mark today.
#   po_check.sh TOP LANG.po WORK [XGETTEXT_OPTION...]
# Builds the template from the files of po/POTFILES into WORK and fails, naming
# every text concerned, when
#   - a source file under src/ marks texts but is not listed in po/POTFILES;
#   - a marked text is missing from LANG.po, untranslated or fuzzy there;
#   - a translation does not keep the format directives of its text.
set -eu
top=$1 po=$2 work=$3
shift 3
mkdir -p "$work"
failed=0

listed=$(sed -e '/^#/d' -e '/^[[:space:]]*$/d' "$top/po/POTFILES")
unlisted=$(cd "$top" &&
  grep -rlE '(^|[^A-Za-z0-9_])N?_\([[:space:]]*("|$)' src --include='*.cpp' --include='*.c' --include='*.h' |
  sort | while read -r f; do
    printf '%s\n' "$listed" | grep -qxF "$f" || printf '  %s\n' "$f"
  done)
if [ -n "$unlisted" ]; then
  echo "Files with marked texts that po/POTFILES does not list:"
  printf '%s\n' "$unlisted"
  failed=1
fi

template=$work/template.pot
merged=$work/merged.po
xgettext "$@" --directory="$top" --files-from="$top/po/POTFILES" --output="$template"
# Exact matches only: a text that changed must be translated again, not
# guessed. Obsolete entries do not count: msgmerge would revive them here, but
# msgfmt leaves them out of the compiled catalogue.
msgattrib --no-obsolete "$po" --output-file="$work/live.po"
msgmerge --quiet --no-fuzzy-matching "$work/live.po" "$template" --output-file="$merged"

# Every entry but the header, as its locations and its msgid.
entries() {
  msgattrib --no-wrap "$@" "$merged" |
    awk '/^#:/ || /^msgid / || (/^"/ && in_id) { if ($0 !~ /^msgid ""$/ || in_entry) print }
         /^#:/ { in_entry = 1 }
         /^msgid / { in_id = 1; next }
         /^msgstr/ { in_id = 0; if (in_entry) print ""; in_entry = 0 }'
}
untranslated=$(entries --untranslated --no-obsolete)
if [ -n "$untranslated" ]; then
  echo "Marked texts missing from or untranslated in $po:"
  printf '%s\n' "$untranslated"
  failed=1
fi
fuzzy=$(entries --only-fuzzy --no-obsolete)
if [ -n "$fuzzy" ]; then
  echo "Marked texts whose translation in $po is fuzzy:"
  printf '%s\n' "$fuzzy"
  failed=1
fi
# The template carries the format flags the sources imply.
if ! msgfmt --check --output-file=/dev/null "$merged"; then
  echo "Translations in $po that break the format of their texts (see above)."
  failed=1
fi

total=$(grep -c '^msgid ' "$template")
echo "$((total - 1)) marked texts in the sources"
exit $failed
