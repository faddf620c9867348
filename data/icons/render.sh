#!/bin/sh
# Renders the icon's PNG sizes from its SVG (rsvg-convert: Debian's librsvg2-bin).
# The PNGs are kept in the repository, so a build never needs the renderer.
set -eu
cd "$(dirname "$0")/hicolor"
for size in 48 128 256; do
  mkdir -p "${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" scalable/apps/org.quillprint.Quillprint.svg \
    -o "${size}x${size}/apps/org.quillprint.Quillprint.png"
done
