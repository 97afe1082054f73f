#!/usr/bin/env bash
# Exposure fusion beside enfuse: MEF-SSIM on every bracket set, and the time and peak memory of
# five 24-megapixel frames. Needs the bench build (cmake --preset bench && cmake --build
# --preset bench --target fuse_frames) and the bench packages of scripts/install-deps.sh.
#   bench/fusion/run.sh [BRACKETS_DIR] [WORK_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
brackets=${1:-$here/../shared/data/brackets}
work=${2:-$(mktemp -d)}
tool=$here/build/bench/bench/fuse_frames
mef=$here/../shared/tools/quality/mef_ssim.py
[[ -x $tool ]] || { echo "build the bench target fuse_frames first" >&2; exit 1; }
mkdir -p "$work"

echo "== MEF-SSIM (higher is better), defaults of both programs"
printf '%-14s %-10s %-10s %-10s\n' set enfuse adjust intensive
for set in "$brackets"/*/; do
  name=$(basename "$set")
  frames=()
  for jpg in "$set"/*.jpg "$set"/*.JPG; do
    [[ -e $jpg ]] || continue
    png=$work/$name-$(basename "${jpg%.*}").png
    djpeg -outfile "$png.ppm" "$jpg" && /usr/bin/convert "$png.ppm" "$png" && rm -f "$png.ppm"
    frames+=("$png")
  done
  ((${#frames[@]} >= 2)) || continue
  enfuse -o "$work/$name-enfuse.png" "${frames[@]}" 2>/dev/null
  "$tool" --method 10 "$work/$name-adjust.png" "${frames[@]}" >/dev/null
  "$tool" --method 11 "$work/$name-intensive.png" "${frames[@]}" >/dev/null
  printf '%-14s %-10s %-10s %-10s\n' "$name" \
    "$(/usr/bin/python3 "$mef" "$work/$name-enfuse.png" "${frames[@]}")" \
    "$(/usr/bin/python3 "$mef" "$work/$name-adjust.png" "${frames[@]}")" \
    "$(/usr/bin/python3 "$mef" "$work/$name-intensive.png" "${frames[@]}")"
done

echo "== five 24-megapixel frames (6000 x 4000, 8-bit PNG), reading and writing included"
first=$(ls -d "$brackets"/*/ | head -1)
i=0
for jpg in "$first"/*.jpg; do
  i=$((i + 1))
  /usr/bin/convert "$jpg" -resize '6000x4000!' "$work/big$i.png"
done
# Two more frames between and beyond the set's exposures, so there are five.
/usr/bin/convert "$work/big2.png" -evaluate multiply 1.4 "$work/big$((i + 1)).png"
/usr/bin/convert "$work/big2.png" -evaluate multiply 0.7 "$work/big$((i + 2)).png"
big=("$work"/big[1-5].png)
/usr/bin/time -f 'enfuse: %e s elapsed, %U s user, %S s system, peak %M KB' \
  enfuse -o "$work/big-enfuse.png" "${big[@]}" 2>&1 | grep -v "^enfuse: \(info\|note\|warning\)" || true
/usr/bin/time -f 'ours:   %e s elapsed, %U s user, %S s system, peak %M KB' \
  "$tool" --method 10 "$work/big-ours.png" "${big[@]}"
echo "pictures in $work"
