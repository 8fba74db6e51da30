#!/usr/bin/env bash
# Draws the images of the shipped skin with ImageMagick: the window's
# background, the close button in its three states, the bars' trough and
# fill ("jd_m.jpg") and the three frames of the tray icon ("icon1.ico" to
# "icon3.ico"). The results are committed, so building needs no ImageMagick;
# run this again after changing it.
set -euo pipefail
cd "$(dirname "$0")"

# No time stamps in the files, so that drawing them again changes nothing.
png() { convert "${@:1:$#-1}" -depth 8 -strip -define png:exclude-chunks=date,time "${@: -1}"; }
W=520 H=280

# --- Background: a deep blue field, a glow behind the caption's right end,
# a faint diagonal texture, the caption band and a thin frame.
convert -size ${W}x${H} gradient:'#132845'-'#070e1a' \
  \( -size ${W}x${H} xc:none -fill '#2a7fff' -draw "ellipse 430,30 210,120 0,360" \
     -channel A -evaluate multiply 0.30 +channel -blur 0x45 \) -compose screen -composite \
  \( -size ${W}x${H} xc:none -fill '#1aa3ff' -draw "ellipse 60,300 200,90 0,360" \
     -channel A -evaluate multiply 0.18 +channel -blur 0x40 \) -compose screen -composite \
  \( -size ${W}x${H} xc:none -stroke '#ffffff' -strokewidth 1 \
     -draw "$(for x in $(seq -300 14 520); do printf 'line %d,280 %d,0 ' "$x" "$((x + 280))"; done)" \
     -channel A -evaluate multiply 0.025 +channel \) -compose over -composite \
  \( -size ${W}x44 xc:'#000000' -alpha set -channel A -evaluate set 28% +channel \) -geometry +0+0 -compose over -composite \
  \( -size ${W}x1 gradient:none-'#3d9bff' \( -size ${W}x1 gradient:'#3d9bff'-none \) \
     -compose multiply -composite -channel A -evaluate multiply 1.6 +channel \) -geometry +0+44 -compose over -composite \
  \( -size ${W}x1 xc:'#ffffff' -alpha set -channel A -evaluate set 7% +channel \) -geometry +0+236 -compose over -composite \
  -fill none -stroke '#27476e' -strokewidth 1 -draw "rectangle 0,0 $((W - 1)),$((H - 1))" \
  /tmp/varo-bg.png
# The emblem: a rounded blue tile with a white chevron "V".
convert -size 26x26 xc:none \
  \( -size 26x26 gradient:'#48a8ff'-'#1546b8' \) \
  \( -size 26x26 xc:none -fill white -draw "roundrectangle 0,0 25,25 6,6" \) \
  -delete 0 -compose copy_opacity -composite \
  -fill white -stroke none -draw "polygon 6,7 10,7 13,15.5 16,7 20,7 14.7,20 11.3,20" \
  /tmp/varo-emblem.png
png /tmp/varo-bg.png /tmp/varo-emblem.png -geometry +16+9 -compose over -composite bg.png

# --- Close button, 28 x 28: a light cross; red behind it under the pointer,
# darker red while pressed.
cross=(-fill none -strokewidth 1.8 -draw "line 9.5,9.5 18.5,18.5" -draw "line 18.5,9.5 9.5,18.5")
png -size 28x28 xc:none -stroke '#9db4d2' "${cross[@]}" close_normal.png
png -size 28x28 xc:none -fill '#e5484d' -draw "roundrectangle 1,1 26,26 5,5" \
  -stroke white "${cross[@]}" close_hot.png
png -size 28x28 xc:none -fill '#b3363a' -draw "roundrectangle 1,1 26,26 5,5" \
  -stroke '#f1d4d5' "${cross[@]}" close_pushed.png

# --- Bars, 464 x 18: a sunken trough, and a bright fill with a gloss on
# its upper half and slanted stripes.
png -size 464x18 gradient:'#050b15'-'#0c1828' \
  \( -size 464x1 xc:'#000000' -alpha set -channel A -evaluate set 45% +channel \) -geometry +0+0 -compose over -composite \
  \( -size 464x1 xc:'#3d6a9e' -alpha set -channel A -evaluate set 35% +channel \) -geometry +0+17 -compose over -composite \
  bar_back.png
convert -size 18x464 gradient:'#2fc4ff'-'#1660e0' -rotate 90 \
  \( -size 464x18 xc:none -stroke '#ffffff' -strokewidth 5 \
     -draw "$(for x in $(seq -20 16 480); do printf 'line %d,18 %d,0 ' "$x" "$((x + 10))"; done)" \
     -channel A -evaluate multiply 0.10 +channel \) -compose over -composite \
  \( -size 464x8 gradient:'#ffffff'-none -channel A -evaluate multiply 0.30 +channel \) -geometry +0+0 -compose over -composite \
  -strip -quality 92 jd_m.jpg

# --- Tray icon: a dark disc with a down arrow and a bright arc that turns
# a third of the way on each frame.
for frame in 1 2 3; do
  start=$(( (frame - 1) * 120 - 90 ))
  # The arc as a line through points from start to start + 110 degrees
  # (clockwise on screen).
  arc=$(awk -v a="$start" 'BEGIN { r = 102; p = 3.14159265 / 180; printf "polyline";
    for (i = 0; i <= 44; ++i) printf " %.2f,%.2f", 128 + r * cos((a + i * 2.5) * p), 128 + r * sin((a + i * 2.5) * p) }')
  convert -size 256x256 xc:none \
    -fill '#0f2442' -stroke '#2f6fb8' -strokewidth 10 -draw "circle 128,128 128,14" \
    -fill none -stroke '#49c2ff' -strokewidth 22 -draw "fill none stroke-linecap round stroke-linejoin round $arc" \
    -fill white -stroke none \
    -draw "polygon 108,62 148,62 148,124 178,124 128,184 78,124 108,124" \
    -draw "roundrectangle 80,192 176,206 6,6" \
    /tmp/varo-icon$frame.png
  convert /tmp/varo-icon$frame.png -define icon:auto-resize=64,48,32,24,16 icon$frame.ico
done
rm -f /tmp/varo-bg.png /tmp/varo-emblem.png /tmp/varo-icon[123].png
echo "skin: images drawn"
