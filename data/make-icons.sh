#!/usr/bin/env bash
# Draws Clangwright's icons and logo with ImageMagick. The images are
# committed, so a build never needs ImageMagick; run this again after changing
# a drawing here:
#   data/make-icons.sh            (from the top of the tree)
#
# What it draws:
#   - the application icon: a metal tube struck by a mallet, with sound waves,
#     on a rounded blue tile (hicolor sizes, the window icon, the About logo);
#   - the Save WAV tool icon: a decaying waveform and an arrow into a tray,
#     drawn for 22 and 32 pixels on a transparent ground.
# Every drawing is made 4 to 8 times larger than its target and scaled down,
# which is ImageMagick's way to anti-alias.
set -euo pipefail

data=$(cd "$(dirname "$0")" && pwd)
app_id=org.clangwright.Clangwright
hicolor_sizes=(32 48 64 128 256)
window_icon_size=48
logo_size=128
logo_colors=127 # XPM palette; the transparent colour takes one more
app_canvas=1024 # the application drawing is laid out in 256 units, 4 px each

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# arc CX CY R FROM TO: points of a circular arc, angles in degrees
# (0 = right, 90 = down), for a polyline.
arc() {
  awk -v cx="$1" -v cy="$2" -v r="$3" -v a0="$4" -v a1="$5" 'BEGIN {
    n = 24
    for (i = 0; i <= n; i++) {
      a = (a0 + (a1 - a0) * i / n) * 3.14159265 / 180
      printf "%.2f,%.2f ", cx + r * cos(a), cy + r * sin(a)
    }
  }'
}

# wave X0 X1 CY AMP CYCLES DECAY: points of an exponentially decaying sine,
# the picture of a struck sound.
wave() {
  awk -v x0="$1" -v x1="$2" -v cy="$3" -v amp="$4" -v cyc="$5" -v dec="$6" 'BEGIN {
    n = 120
    for (i = 0; i <= n; i++) {
      t = i / n
      printf "%.3f,%.3f ", x0 + (x1 - x0) * t, cy - amp * exp(-dec * t) * sin(2 * 3.14159265 * cyc * t)
    }
  }'
}

# ImageMagick wants the line join before the cap when a polyline follows.
round="stroke-linejoin round stroke-linecap round"

# --- application icon, 256 units --------------------------------------------
tile="scale 4,4
  push defs push gradient 'tile' linear 0,12 0,244
    stop-color '#3d68a8' 0 stop-color '#121d36' 1
  pop gradient pop defs
  stroke none fill url(#tile) roundrectangle 12,12 244,244 44,44"
waves="scale 4,4 fill none stroke #ffd24d
  stroke-width 13 $round polyline $(arc 122 128 58 145 215)
  stroke-width 11 stroke-opacity 0.8 $round polyline $(arc 122 128 88 148 212)"
# The tube is drawn upright, shaded across like a polished cylinder, and
# tilted afterwards: ImageMagick's gradients do not follow a rotation.
tube="scale 4,4
  push defs push gradient 'metal' linear 100,0 152,0
    stop-color '#56616b' 0 stop-color '#c9d2db' 0.22 stop-color '#ffffff' 0.4
    stop-color '#a9b4bf' 0.7 stop-color '#434c56' 1
  pop gradient pop defs
  stroke none fill url(#metal) rectangle 100,36 152,220
  fill #8d98a3 ellipse 126,220 26,7 0,180
  fill #2a323a ellipse 126,36 26,7 0,360
  fill none stroke #c9d2db stroke-width 2 ellipse 126,36 25,6 0,360"
tube_tilt='504,512 14' # about the tube's centre, degrees clockwise
mallet="scale 4,4
  fill none stroke #8a5a2b stroke-width 13 $round line 186,150 232,206
  stroke none fill #d7362b circle 172,136 172,159
  fill #ff9c8a circle 165,128 165,135"

big=$work/app.png
convert -size ${app_canvas}x${app_canvas} xc:none -draw "$tile" \
  \( -size ${app_canvas}x${app_canvas} xc:none -draw "$waves" \) -composite \
  \( -size ${app_canvas}x${app_canvas} xc:none -draw "$tube" \
     -virtual-pixel transparent -distort SRT "$tube_tilt" \) -composite \
  \( -size ${app_canvas}x${app_canvas} xc:none -draw "$mallet" \) -composite \
  "$big"


for n in "${hicolor_sizes[@]}"; do
  dir=$data/icons/hicolor/${n}x${n}/apps
  mkdir -p "$dir"
  convert "$big" -filter Lanczos -resize ${n}x${n} -depth 8 -strip "$dir/$app_id.png"
done
mkdir -p "$data/pixmaps" "$data/clangwright"
convert "$big" -filter Lanczos -resize ${window_icon_size}x${window_icon_size} -depth 8 -strip \
  "$data/pixmaps/clangwright.png"

# XPM has only on/off transparency: the edge is cut at half coverage.
convert "$big" -filter Lanczos -resize ${logo_size}x${logo_size} \
  -channel A -threshold 50% +channel -depth 8 +dither -colors $logo_colors \
  "$data/clangwright/clangwright_logo.xpm"

# --- Save WAV icon, 22 units --------------------------------------------------
# save_wav N: the icon at N x N pixels, drawn 8 times larger.
save_wav() {
  local n=$1 s=8 u
  u=$(awk -v n="$n" 'BEGIN { print n / 22 }')
  local to_px="scale $s,$s scale $u,$u"
  local tray="$to_px fill none stroke #3b4248 stroke-width 2 $round
    polyline 2.5,14 2.5,19.5 19.5,19.5 19.5,14"
  local signal="$to_px fill none stroke #1d5fc4 stroke-width 1.7 $round
    polyline $(wave 1.5 20.5 5.5 4.2 3 1.6)"
  local arrow="$to_px stroke #1e7a2e stroke-width 0.8 fill #35b84a $round
    polygon 9,8.5 13,8.5 13,12.5 16,12.5 11,17.5 6,12.5 9,12.5"
  convert -size $((n * s))x$((n * s)) xc:none -draw "$tray" -draw "$signal" -draw "$arrow" \
    -filter Lanczos -resize ${n}x${n} -depth 8 -strip "$data/clangwright/save-wav-$n.png"
}
save_wav 22
save_wav 32
