#!/bin/sh
# The installed bundle as hosts see it: lv2_validate (sord_validate against
# the installed LV2 vocabularies) finds nothing, lv2info lists the plugin with
# its ports, and the binary shows its host only lv2_descriptor and needs no
# library of ours.
# Usage: lv2_bundle_check.sh PREFIX
set -eu
bundle="$1/lib/lv2/clangwright.lv2"
uri=https://clangwright.org/lv2/clangwright

report=$(lv2_validate "$bundle"/*.ttl 2>&1)
case "$report" in
  *"Found 0 errors"*) ;;
  *) echo "$report"; echo "lv2_validate found errors"; exit 1 ;;
esac
if printf '%s\n' "$report" | grep -qi 'warning'; then
  echo "$report"; echo "lv2_validate warned"; exit 1
fi

# The system's vocabularies beside the bundle, for the plugin's class.
info=$(LV2_PATH="$1/lib/lv2:/usr/lib/lv2" lv2info "$uri")
for expected in "Class:  *Instrument" "Required Features:" "http://lv2plug.in/ns/ext/urid#map" \
                "Symbol: *midi_in" "Symbol: *out_l" "Symbol: *out_r" "Symbol: *shape" \
                "Symbol: *tube_height" "Symbol: *level" "Presets:" "chime-C6"; do
  if ! printf '%s\n' "$info" | grep -q "$expected"; then
    printf '%s\n' "$info"; echo "lv2info does not list: $expected"; exit 1
  fi
done
ports=$(printf '%s\n' "$info" | grep -c "Symbol:")
[ "$ports" -eq 26 ] || { echo "lv2info lists $ports ports, not 26"; exit 1; }
presets=$(printf '%s\n' "$info" | sed -n '/Presets:/,/^$/p' | grep -c '^[[:space:]]*[a-z]')
[ "$presets" -eq 36 ] || { echo "lv2info lists $presets presets, not 36"; exit 1; }

exports=$(nm -D --defined-only "$bundle/clangwright.so" | awk '{print $3}')
[ "$exports" = "lv2_descriptor" ] || { echo "exported: $exports"; exit 1; }
if readelf -d "$bundle/clangwright.so" | grep NEEDED | grep -q cwphymod; then
  echo "the plugin needs libcwphymod"; exit 1
fi
echo "bundle clean: 26 ports, 36 presets, one export"
