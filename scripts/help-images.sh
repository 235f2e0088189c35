#!/usr/bin/env bash
# Draws the pictures of the help pages (ui/resources/help/*.png). Run it again
# after changing a picture here; the PNG files are kept in the repository, so
# building the program does not need ImageMagick.
set -euo pipefail

out="$(cd "$(dirname "$0")/.." && pwd)/ui/resources/help"
font=DejaVu-Sans
bold=DejaVu-Sans-Bold

# The way mail takes: mail client -> Glimmerfen on this computer -> POP3 server.
/usr/bin/convert -size 640x110 xc:white -strokewidth 2 \
  -fill '#e8f0fb' -stroke '#3a6ea5' \
  -draw 'roundrectangle 10,25 150,85 10,10' \
  -fill '#fff4d6' -stroke '#b8860b' \
  -draw 'roundrectangle 250,25 390,85 10,10' \
  -fill '#e8f0fb' -stroke '#3a6ea5' \
  -draw 'roundrectangle 490,25 630,85 10,10' \
  -stroke '#444444' -fill '#444444' \
  -draw 'line 152,55 242,55' -draw 'polygon 248,55 238,50 238,60' \
  -draw 'line 392,55 482,55' -draw 'polygon 488,55 478,50 478,60' \
  -stroke none -fill black \
  -font "$bold" -pointsize 14 \
  -gravity NorthWest \
  -annotate +37+38 'Mail client' -annotate +278+38 'Glimmerfen' -annotate +514+38 'POP3 server' \
  -font "$font" -pointsize 11 \
  -annotate +38+58 '(your program)' -annotate +271+58 '(on this computer)' \
  -annotate +516+58 '(your provider)' \
  -annotate +156+34 '127.0.0.1:1070' -annotate +412+34 'port 110' \
  -annotate +150+91 'Spam comes back with the flag word in front of its Subject.' \
  -strip +dither -colors 16 -define png:compression-level=9 "$out/mailpath.png"
