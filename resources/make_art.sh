#!/usr/bin/env bash
# Draws Squeakbox's own artwork with ImageMagick: the program icon (a mouse
# face with a rising pitch arrow) at 256, 32 and 16 pixels, and the 600x400
# banner shown at the foot of the window. Run it again after changing a shape;
# the PNGs it writes are committed so the build does not need ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The icon is drawn once on a 256-pixel canvas and scaled down, so the small
# sizes stay smooth.
mouse_face() {
    convert -size 256x256 xc:none \
        -fill '#8a8f99' -stroke '#3b3f47' -strokewidth 8 \
        -draw 'circle 62,70 62,14' -draw 'circle 174,70 174,14' \
        -fill '#f4a6b8' -stroke none \
        -draw 'circle 62,70 62,34' -draw 'circle 174,70 174,34' \
        -fill '#a9aeb8' -stroke '#3b3f47' -strokewidth 8 \
        -draw 'ellipse 118,150 86,78 0,360' \
        -fill '#1d1f24' -stroke none \
        -draw 'circle 88,134 88,118' -draw 'circle 148,134 148,118' \
        -fill white -draw 'circle 93,128 93,123' -draw 'circle 153,128 153,123' \
        -fill '#e8587a' -draw 'ellipse 118,178 16,12 0,360' \
        -stroke '#3b3f47' -strokewidth 4 -fill none \
        -draw 'line 60,176 10,166' -draw 'line 60,188 12,198' \
        -draw 'line 176,176 226,166' -draw 'line 176,188 224,198' \
        -fill '#ff9a1f' -stroke '#7a3f00' -strokewidth 6 \
        -draw 'polygon 204,104 250,150 222,150 222,246 186,246 186,150 158,150' \
        "$tmp/icon256.png"
}
mouse_face
convert "$tmp/icon256.png" -depth 8 squeakbox-256.png
convert "$tmp/icon256.png" -filter Lanczos -resize 32x32 -depth 8 icon-107.png
convert "$tmp/icon256.png" -filter Lanczos -resize 16x16 -depth 8 icon-108.png

# The banner: 600x400, inviting the user to bring the funny voice into calls.
convert -size 600x400 gradient:'#2b5fd9'-'#7a2bd9' \
    -fill '#ffffff22' -stroke none \
    -draw 'circle 520,60 520,0' -draw 'circle 80,360 80,280' -draw 'circle 560,380 560,350' \
    -fill white -stroke '#1d1f24' -strokewidth 4 \
    -draw 'roundrectangle 30,40 440,190 30,30' \
    -draw 'polygon 330,188 395,232 380,188' \
    -stroke none -fill '#1d1f24' -font DejaVu-Sans-Bold -pointsize 38 \
    -annotate +70+105 'Use Squeakbox' \
    -font DejaVu-Sans -pointsize 30 -annotate +70+152 'in your calls!' \
    \( "$tmp/icon256.png" -resize 190x190 \) -geometry +380+170 -composite \
    -fill '#ffd23f' -font DejaVu-Sans-Bold -pointsize 26 \
    -annotate +40+310 'Higher.  Lower.  Live.' \
    -fill white -font DejaVu-Sans -pointsize 20 \
    -annotate +40+350 'Pitch your voice by whole semitones,' \
    -annotate +40+378 'at the same speed of speech.' \
    -type TrueColor PNG24:banner-145.png

# No time stamps, so drawing again without changes leaves the files alone.
for f in squeakbox-256.png icon-107.png icon-108.png banner-145.png; do
    mogrify -define png:exclude-chunk=date,time,tIME "$f"
done
