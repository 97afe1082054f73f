#!/usr/bin/env bash
# Renders the hicolor PNG sizes of the application icon from resources/icons/brightloom.svg
# (rsvg-convert, package librsvg2-bin). The PNGs are committed, so a build needs no SVG renderer;
# run this after changing the SVG.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
svg="$here/resources/icons/brightloom.svg"
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "$here/resources/icons/${size}x${size}"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$here/resources/icons/${size}x${size}/brightloom.png"
done
