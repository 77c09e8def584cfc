#!/bin/sh
# Checks what an install puts under a prefix for the desktop.
#   desktop_check.sh install CMAKE BUILD PREFIX  install BUILD afresh into PREFIX
#   desktop_check.sh entry PREFIX APP_ID VERSION
#       the desktop entry and the AppStream metadata validate and agree with
#       the installed program, icons, file types and version
#   desktop_check.sh filetypes PREFIX APP_ID WORK
#       preset files are known by extension and by root element
#   desktop_check.sh images PREFIX APP_ID
#       the window's images and the theme icons, at their sizes
#   desktop_check.sh catalogue PREFIX WORK
#       the German catalogue is installed and the installed renderer speaks it
set -eu
mode=$1
shift
failed=0
fail() {
  printf '%s\n' "$*"
  failed=1
}

# png_size FILE: "WIDTH HEIGHT" from the PNG header.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4,
                                         $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }'
}

# desktop_key FILE KEY: the value of KEY in the [Desktop Entry] group.
desktop_key() {
  awk -F= -v k="$2" '/^\[/ { g = $0 } g == "[Desktop Entry]" && $1 == k { sub(/^[^=]*=/, ""); print; exit }' "$1"
}

case $mode in
install)
  cmake=$1 build=$2 prefix=$3
  rm -rf "$prefix"
  "$cmake" --install "$build" --prefix "$prefix" >/dev/null
  ;;

entry)
  prefix=$1 app_id=$2 version=$3
  share=$prefix/share
  desktop=$share/applications/$app_id.desktop
  metainfo=$share/metainfo/$app_id.metainfo.xml
  mime=$share/mime/packages/$app_id.xml
  for f in "$desktop" "$metainfo" "$mime"; do
    [ -f "$f" ] || fail "not installed: $f"
  done
  [ $failed -eq 0 ] || exit 1

  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
  exec_program=$(desktop_key "$desktop" Exec | cut -d' ' -f1)
  [ -x "$prefix/bin/$exec_program" ] || fail "Exec names $exec_program, which is not in $prefix/bin"
  desktop_key "$desktop" Exec | grep -q ' %[fFuU]$' || fail "Exec does not take a file"
  icon=$(desktop_key "$desktop" Icon)
  [ "$icon" = "$app_id" ] || fail "Icon is '$icon', not the application id $app_id"
  for key in Name GenericName Comment; do
    [ -n "$(desktop_key "$desktop" "$key[de]")" ] || fail "no German $key in the desktop entry"
  done
  desktop_key "$desktop" Categories | grep -q '\(^\|;\)Audio;' || fail "not in the Audio category"
  for type in $(desktop_key "$desktop" MimeType | tr ';' ' '); do
    grep -q "<mime-type type=\"$type\">" "$mime" || fail "MimeType $type is not defined in $mime"
  done

  appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $metainfo"
  grep -q "<id>$app_id</id>" "$metainfo" || fail "the metadata's id is not $app_id"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metadata does not launch $app_id.desktop"
  # The newest release comes first and is the version being installed.
  first_release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
  [ "$first_release" = "$version" ] ||
    fail "the newest release in the metadata is '$first_release', the program is $version"
  ;;

filetypes)
  prefix=$1 app_id=$2 work=$3
  share=$prefix/share
  XDG_DATA_DIRS=$share:/usr/share update-mime-database "$share/mime"
  rm -rf "$work"
  mkdir -p "$work/home" "$work/files"
  printf '<?xml version="1.0"?>\n<cwrp version="0.1.0"/>\n' >"$work/files/bell.cwrp"
  printf '<?xml version="1.0"?>\n<cwrinstr/>\n' >"$work/files/old bell.cwri"
  printf '<?xml version="1.0"?>\n<cwrp version="0.1.0"/>\n' >"$work/files/BELL.CWRP"
  type_of() {
    XDG_DATA_HOME=$work/home XDG_DATA_DIRS=$share:/usr/share \
      gio info -a standard::content-type "$1" | sed -n 's/^ *standard::content-type: //p'
  }
  expect() {
    got=$(type_of "$work/files/$1")
    [ "$got" = "$2" ] || fail "$1 is $got, expected $2"
  }
  expect bell.cwrp application/x-clangwright-preset
  expect "old bell.cwri" application/x-clangwright-legacy-preset
  expect BELL.CWRP application/x-clangwright-preset
  # Files without the extension are told by their root element. GIO does not
  # sniff root elements, so read the table the database compiled for them.
  grep -qx ' cwrp application/x-clangwright-preset' "$share/mime/XMLnamespaces" ||
    fail "root element cwrp is not registered"
  grep -qx ' cwrinstr application/x-clangwright-legacy-preset' "$share/mime/XMLnamespaces" ||
    fail "root element cwrinstr is not registered"
  ;;

images)
  prefix=$1 app_id=$2
  share=$prefix/share
  expect_png() {
    if [ ! -f "$1" ]; then
      fail "not installed: $1"
      return
    fi
    size=$(png_size "$1")
    [ "$size" = "$2 $2" ] || fail "$1 is $size, expected $2 x $2"
  }
  expect_png "$share/pixmaps/clangwright.png" 48
  expect_png "$share/clangwright/save-wav-22.png" 22
  expect_png "$share/clangwright/save-wav-32.png" 32
  # The theme needs 48 and 256 at least; every size installed must be true.
  expect_png "$share/icons/hicolor/48x48/apps/$app_id.png" 48
  expect_png "$share/icons/hicolor/256x256/apps/$app_id.png" 256
  for icon in "$share"/icons/hicolor/*x*/apps/"$app_id".png; do
    n=$(basename "$(dirname "$(dirname "$icon")")")
    expect_png "$icon" "${n%x*}"
  done
  logo=$share/clangwright/clangwright_logo.xpm
  if [ -f "$logo" ]; then
    # The values line: width, height, colours, characters per pixel.
    sed -n '2,5p' "$logo" | grep -q '^"128 128 [0-9]* [0-9]* *",' || fail "$logo is not a 128 x 128 XPM"
  else
    fail "not installed: $logo"
  fi
  ;;

catalogue)
  prefix=$1 work=$2
  mo=$prefix/share/locale/de/LC_MESSAGES/clangwright.mo
  [ -f "$mo" ] || fail "not installed: $mo"
  [ $failed -eq 0 ] || exit 1
  msgunfmt "$mo" | grep -q '^msgstr "Abtastknoten"$' || fail "$mo lacks the window's texts"
  mkdir -p "$work"
  # The installed renderer finds the catalogue below its own prefix. Its
  # run path names the configured prefix, so show it the library here.
  render=$prefix/bin/clangwright-render
  LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name libcwphymod.so.0 | head -n 1)")
  export LD_LIBRARY_PATH
  LC_ALL=C.UTF-8 LANGUAGE=de "$render" --shape cube -o "$work/x.wav" 2>"$work/de.txt" || true
  grep -q "„cube“ ist keine Form" "$work/de.txt" || fail "German run said: $(cat "$work/de.txt")"
  LC_ALL=C "$render" --shape cube -o "$work/x.wav" 2>"$work/c.txt" || true
  grep -q "'cube' is not a shape" "$work/c.txt" || fail "C locale run said: $(cat "$work/c.txt")"
  LC_ALL=C.UTF-8 LANGUAGE=de "$render" --help >"$work/help.txt"
  grep -q 'Abtastrate, 8000 bis 192000' "$work/help.txt" || fail "--help is not in German"
  ;;

*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
exit $failed
