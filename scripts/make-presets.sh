#!/bin/sh
# Writes the preset library, data/presets/<group>/<name>[-<note>].cwrp, from
# data/presets/library.tsv with the built renderer. Tuning renders each sound
# at the renderer's defaults (48000 Hz, 1 s), as `clangwright-render --preset`
# renders it, so the note holds there. The files are committed: a build never
# runs this.
#
#   scripts/make-presets.sh [RENDERER]      (default: build/src/cli/clangwright-render)
#   CW_PRESETS_ONLY=NAME scripts/make-presets.sh   re-makes one line only
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
render=${1:-$top/build/src/cli/clangwright-render}
table=$top/data/presets/library.tsv
out=$top/data/presets
only=${CW_PRESETS_ONLY:-}

if [ ! -x "$render" ]; then
    echo "make-presets.sh: no renderer at $render (build the target clangwright-render)" >&2
    exit 1
fi

tab=$(printf '\t')
status=0
# Files of lines that are gone from the table must not stay behind.
[ -n "$only" ] || find "$out" -mindepth 2 -name '*.cwrp' -delete
while IFS=$tab read -r group name note partial options; do
    case $group in '#'* | '') continue ;; esac
    [ -z "$only" ] || [ "$only" = "$name" ] || continue
    mkdir -p "$out/$group"
    if [ "$note" = "-" ]; then
        file=$out/$group/$name.cwrp
        # shellcheck disable=SC2086 # the options are words
        "$render" $options -q --save-preset "$file" || status=1
    else
        file=$out/$group/$name-$note.cwrp
        printf '%s: ' "$group/$name-$note"
        # shellcheck disable=SC2086
        "$render" $options --tune "$note" --tune-partial "$partial" \
            --save-preset "$file" || status=1
    fi
done < "$table"
exit $status
