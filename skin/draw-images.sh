#!/usr/bin/env bash
# Draws every image of the skin with ImageMagick. Run from anywhere; rewrites the PNGs beside this script.
# Palette: light greys for surfaces, one blue accent (#1F7AE0), status colours only where they carry meaning.
# Small icons are drawn at twice their display size so they stay sharp at 200% scaling.
set -euo pipefail
cd "$(dirname "$0")"
IM=(convert)
FONT=DejaVu-Sans-Bold
ACCENT='#1F7AE0'
ACCENT_HOT='#3D8FEA'
ACCENT_DOWN='#1866BD'
LINE='#D5DAE1'
TEXT='#5B6573'
out() { "${IM[@]}" "$@"; }
strip() { mogrify -strip -define png:exclude-chunks=date,time "$@"; }

# --- sprite sheet: positions are fixed, the windows address them by rectangle --------------------------------
sheet=Controls.png
out -size 300x200 xc:none \
  `# 1,54,47,77 fixed disk (46x23)` \
  -fill '#EEF1F5' -stroke '#8A95A5' -strokewidth 1 -draw "roundrectangle 6,59 41,72 3,3" \
  -fill '#5FC46A' -stroke none -draw "circle 36,65.5 37.5,65.5" \
  -fill '#8A95A5' -draw "rectangle 10,64 26,66" \
  `# 99,54,145,77 removable disk (46x23)` \
  -fill '#EEF1F5' -stroke '#8A95A5' -strokewidth 1 -draw "roundrectangle 108,59 136,72 3,3" \
  -fill '#8A95A5' -stroke none -draw "rectangle 136,62 142,69" \
  -fill "$ACCENT" -draw "circle 131,65.5 132.5,65.5" \
  `# 50,54,96,77 disk node background (46x23)` \
  -fill '#E4ECF8' -stroke none -draw "roundrectangle 50,56 95,75 4,4" \
  -fill "$ACCENT" -draw "roundrectangle 58,61 87,70 2,2" -fill white -draw "rectangle 62,64 78,66" \
  `# 0,106,15,121 check box off, 15,106,30,121 partial, 30,106,45,121 on` \
  -fill white -stroke '#9AA4B2' -strokewidth 1 -draw "roundrectangle 1,107 13,119 2,2" \
  -fill white -stroke "$ACCENT" -draw "roundrectangle 16,107 28,119 2,2" -fill "$ACCENT" -stroke none \
  -draw "rectangle 19,112 25,114" \
  -fill "$ACCENT" -stroke "$ACCENT" -draw "roundrectangle 31,107 43,119 2,2" \
  -stroke white -strokewidth 2 -fill none -draw "polyline 34,113 36,116 41,110" \
  `# 228,113,287,120 usage bar (59x7)` \
  -stroke none -fill "$ACCENT" -draw "roundrectangle 228,113 286,119 3,3" \
  `# 1,159,33,191 scan tab icon (32x32): magnifier over a disk` \
  -fill '#EEF1F5' -stroke '#8A95A5' -strokewidth 1.5 -draw "roundrectangle 3,172 25,186 3,3" \
  -fill none -stroke "$ACCENT" -strokewidth 3 -draw "circle 19,170 19,162" \
  -draw "line 25,176 31,183" \
  "$sheet"

# --- message box icons (drawn 80x80, shown 40x40) ---------------------------------------------------------------
icon_circle() {  # name colour glyph
  out -size 80x80 xc:none -fill "$2" -draw "circle 40,40 40,4" \
    -fill white -font "$FONT" -pointsize 46 -gravity center -annotate +0+1 "$3" "$1"
}
icon_circle icon_error.png '#D9443B' '×'
icon_circle icon_information.png "$ACCENT" 'i'
icon_circle icon_question.png "$ACCENT" '?'
out -size 80x80 xc:none -fill '#2E9D5B' -draw "circle 40,40 40,4" \
  -stroke white -strokewidth 8 -fill none -draw "polyline 23,41 35,53 58,28" icon_confirm.png
out -size 80x80 xc:none -fill '#F0A020' -stroke '#F0A020' -strokewidth 8 -draw "polygon 40,8 74,70 6,70" \
  -stroke none -fill white -font "$FONT" -pointsize 42 -gravity center -annotate +0+6 '!' icon_warning.png

# --- buttons: three states stacked in separate files, nine-sliced with corner='5,5,5,5' ---------------------------
button() {  # name fill stroke
  out -size 60x30 xc:none -fill "$2" -stroke "$3" -strokewidth 1 -draw "roundrectangle 0.5,0.5 59.5,29.5 5,5" "$1"
}
button btn_primary.png "$ACCENT" "$ACCENT"
button btn_primary_hot.png "$ACCENT_HOT" "$ACCENT_HOT"
button btn_primary_pushed.png "$ACCENT_DOWN" "$ACCENT_DOWN"
button btn_secondary.png white '#C3CAD4'
button btn_secondary_hot.png '#F3F6FA' '#AEB7C3'
button btn_secondary_pushed.png '#E6EBF1' '#9AA4B2'

# --- caption buttons (drawn 56x56, shown 28x28) ------------------------------------------------------------------
sysbtn() {  # name background glyph-draw
  out -size 56x56 xc:none -fill "$2" -draw "roundrectangle 0,0 55,55 8,8" -stroke "$4" -strokewidth 3 -fill none \
    -draw "$3" "$1"
}
X="line 20,20 36,36 line 36,20 20,36"
sysbtn close.png none "$X" "$TEXT"
sysbtn close_hot.png '#E5484D' "$X" white
sysbtn close_pushed.png '#C93A3F' "$X" white
sysbtn min.png none "line 19,29 37,29" "$TEXT"
sysbtn min_hot.png '#E6EBF1' "line 19,29 37,29" "$TEXT"
sysbtn max.png none "rectangle 19,19 37,37" "$TEXT"
sysbtn max_hot.png '#E6EBF1' "rectangle 19,19 37,37" "$TEXT"
sysbtn restore.png none "rectangle 18,23 32,37 polyline 23,23 23,18 37,18 37,32 32,32" "$TEXT"
sysbtn restore_hot.png '#E6EBF1' "rectangle 18,23 32,37 polyline 23,23 23,18 37,18 37,32 32,32" "$TEXT"
sysbtn assist.png none "line 18,21 38,21 line 18,28 38,28 line 18,35 38,35" "$TEXT"
sysbtn assist_hot.png '#E6EBF1' "line 18,21 38,21 line 18,28 38,28 line 18,35 38,35" "$TEXT"

# --- banners (corner='0,0,0,70'): a soft band per page, the accent as a thin top line ---------------------------
banner() {  # name tint line
  out -size 200x80 gradient:"$2"-'#FFFFFF' -fill "$3" -draw "rectangle 0,0 199,2" "$1"
}
banner banner_bg.png '#E8F1FC' "$ACCENT"
banner banner_bg1.png '#E7F4EA' '#2E9D5B'
banner banner_bg2.png '#FCEFE3' '#E47100'

# --- banner logos (drawn 100x100, shown 50x50) and the image-mode tab icon ---------------------------------------
out -size 100x100 xc:none -fill '#EEF1F5' -stroke '#8A95A5' -strokewidth 3 -draw "roundrectangle 8,52 72,88 8,8" \
  -fill none -stroke "$ACCENT" -strokewidth 8 -draw "circle 60,42 60,18" -draw "line 77,60 92,78" scan_files.png
out -size 100x100 xc:none -fill '#FCEFE3' -stroke '#E47100' -strokewidth 4 \
  -draw "roundrectangle 10,14 46,50 6,6" -draw "roundrectangle 54,14 90,50 6,6" \
  -draw "roundrectangle 10,58 46,94 6,6" -fill '#E47100' -draw "roundrectangle 54,58 90,94 6,6" advance_scan.png
out -size 100x100 xc:none -fill '#E7F4EA' -stroke '#2E9D5B' -strokewidth 4 \
  -draw "polygon 12,30 40,30 48,40 88,40 88,88 12,88" \
  -stroke '#2E9D5B' -strokewidth 7 -fill none -draw "polyline 34,64 46,76 68,52" recover_file.png
out -size 56x64 xc:none -fill '#EEF1F5' -stroke '#8A95A5' -strokewidth 3 -draw "roundrectangle 4,30 44,56 5,5" \
  -fill "$ACCENT" -stroke none -draw "polygon 30,4 50,4 50,24 44,18 34,28 26,20 36,10" btn_create_image.png

# --- list header: plain, ascending, descending (corner='0,1,13,1' keeps the 13-pixel arrow end) -------------------
out -size 40x28 xc:'#F5F7FA' -fill "$LINE" -draw "rectangle 0,27 39,27" -draw "rectangle 39,5 39,22" list_header_bg.png
out -size 40x28 xc:'#EAF2FC' -fill "$LINE" -draw "rectangle 0,27 39,27" -draw "rectangle 39,5 39,22" \
  -fill "$ACCENT" -draw "polygon 28,17 36,17 32,11" list_header_asc.png
out -size 40x28 xc:'#EAF2FC' -fill "$LINE" -draw "rectangle 0,27 39,27" -draw "rectangle 39,5 39,22" \
  -fill "$ACCENT" -draw "polygon 28,11 36,11 32,17" list_header_desc.png

# --- menus ----------------------------------------------------------------------------------------------------------
out -size 24x24 xc:none -fill "$ACCENT" -draw "circle 12,12 12,7" point.png
out -size 20x20 xc:none -fill '#EAF2FC' -draw "roundrectangle 0,0 19,19 3,3" menu_hot.png

# --- file icons (drawn 32x32, shown 16x16); the "_error" variants carry a red corner mark -----------------------
page() {  # name colour label
  out -size 32x32 xc:none -fill white -stroke "$2" -strokewidth 2 -draw "polygon 6,2 20,2 27,9 27,30 6,30" \
    -fill "$2" -stroke none -draw "polygon 20,2 27,9 20,9" -draw "roundrectangle 3,15 24,26 2,2" \
    -fill white -font "$FONT" -pointsize 8 -gravity northwest -annotate +4+16 "$3" "FileIcon/$1.png"
}
page image '#2E9D5B' 'IMG'
page music '#8E5BD9' 'MP3'
page doc '#1F7AE0' 'DOC'
page video '#E47100' 'VID'
page zip '#8A6D3B' 'ZIP'
page exe '#5B6573' 'EXE'
page default '#9AA4B2' '...'
out -size 32x32 xc:none -fill '#F4C542' -stroke '#D8A413' -strokewidth 1.5 \
  -draw "polygon 2,8 12,8 15,11 30,11 30,28 2,28" FileIcon/folder.png
for n in image music doc video zip exe default; do
  out "FileIcon/$n.png" -fill '#D9443B' -stroke white -strokewidth 1.5 -draw "circle 24,24 24,17" \
    -stroke white -strokewidth 2 -draw "line 21,21 27,27 line 27,21 21,27" "FileIcon/${n}_error.png"
done

# --- program icon: a memory card with a green arrow bringing a file back -------------------------------------
out -size 256x256 xc:none -fill "$ACCENT" -stroke none -draw "roundrectangle 16,16 240,240 44,44" \
  -fill white -draw "polygon 78,52 158,52 190,84 190,204 78,204" \
  -fill "$ACCENT" -draw "rectangle 100,60 112,88 rectangle 122,60 134,88 rectangle 144,60 156,88" \
  -fill none -stroke '#2E9D5B' -strokewidth 14 -draw "arc 100,116 168,184 300,590" \
  -fill '#2E9D5B' -stroke none -draw "polygon 138,100 170,124 136,142" snapsave.png

strip ./*.png FileIcon/*.png
