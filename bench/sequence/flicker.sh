#!/bin/bash
# Flicker and speed of time-lapse rendering (not part of the test suite: minutes of work).
#   bench/sequence/flicker.sh [BUILD_DIR] [SOURCE.exr] [WORK_DIR]
# BUILD_DIR: a release build with -DBRIGHTLOOM_BENCH=ON (brightloom, bench/sequence_tool).
# 1. Flicker: FLICKER_FRAMES frames made from SOURCE (a +1 EV change over the sequence, 0-3
#    glints a frame of 5-500 x the maximum in the top-left corner), rendered frame by frame and
#    with --sequence, for both methods; the jitter of the mean log level away from the corner.
# 2. Speed: SPEED_FRAMES frames enlarged SPEED_SCALE times (2: 2 megapixels from a 1024 x 512
#    source), rendered with --jobs 2 and through a local Slurm with 2 one-CPU tasks (both
#    passes of --sequence too with SPEED_SEQUENCE=1). 0 frames skips a part.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath "${1:-$root/build/release}")
source=$(realpath "${2:-$root/../shared/data/courtyard.exr}")
work=$(realpath -m "${3:-$(mktemp -d /tmp/brightloom-flicker.XXXXXX)}")
flicker_frames=${FLICKER_FRAMES:-100}
speed_frames=${SPEED_FRAMES:-200}
speed_scale=${SPEED_SCALE:-2}
bl=$build/host/brightloom
tool=$build/bench/sequence_tool
for p in "$bl" "$tool"; do
  [[ -x $p ]] || { echo "flicker.sh: $p is missing (configure with -DBRIGHTLOOM_BENCH=ON)" >&2; exit 2; }
done
mkdir -p "$work"
echo "work folder: $work"

# The log-average luminance the smoothed statistics carry, first and last frame (Details
# Enhancer field 0 is a luminance, Tone Compressor field 2 a log): the real change they follow.
stat_change() {
  awk -F'\t' -v m="$2" '$2 == "measured" { split($4, v, " "); x = (m == "details") ? log(v[1]) : v[3];
    if (!seen++) first = x; last = x } END { printf "%+.3f", last - first }' "$1"
}

if ((flicker_frames > 0)); then
  "$tool" make "$source" "$work/flicker" "$flicker_frames" 1 11
  for method in details compressor; do
    "$bl" render "$work"/flicker/*.exr --method "$method" --jobs 2 -q --out-dir "$work/plain-$method"
    "$bl" render "$work"/flicker/*.exr --method "$method" --jobs 2 -q --out-dir "$work/seq-$method" \
      --sequence --stats "$work/$method.stats"
    echo "$method, frame by frame: $("$tool" flicker "$work/plain-$method"/*.png)"
    echo "$method, --sequence:     $("$tool" flicker "$work/seq-$method"/*.png)"
    echo "$method, smoothed log-average statistic over the sequence: $(stat_change "$work/$method.stats" "$method")" \
      "(the real change: +$(awk 'BEGIN { printf "%.3f", log(2) }'))"
  done
fi

if ((speed_frames > 0)); then
  # Frames made by an earlier run in the same work folder are used again.
  if [[ ! -f $work/speed/$(printf 'frame%04d.exr' "$speed_frames") ]]; then
    "$tool" make "$source" "$work/speed" "$speed_frames" "$speed_scale" 5
  fi
  per_frame() { awk -v a="$1" -v b="$2" -v n="$speed_frames" 'BEGIN { printf "%.3f s/frame (%.1f s)", (b - a) / n, b - a }'; }
  now() { date +%s.%N; }
  t0=$(now)
  "$bl" render "$work"/speed/*.exr --jobs 2 --threads 1 -q --out-dir "$work/jobs2"
  t1=$(now)
  echo "render --jobs 2:           $(per_frame "$t0" "$t1")"
  if ((${SPEED_SEQUENCE:-0})); then
    t0=$(now)
    "$bl" render "$work"/speed/*.exr --jobs 2 --threads 1 -q --out-dir "$work/jobs2-seq" --sequence
    t1=$(now)
    echo "render --jobs 2 --sequence: $(per_frame "$t0" "$t1")"
  fi

  conf=$("$root/scripts/local-slurm.sh" start "$work/slurm" 2) || exit 1
  trap '"$root/scripts/local-slurm.sh" stop "$work/slurm"' EXIT
  export SLURM_CONF=$conf BRIGHTLOOM=$bl
  t0=$(now)
  "$root/contrib/slurm/brightloom-slurm" --tasks 2 --cpus 1 --wait "$work/speed" "$work/slurm-out" > /dev/null
  t1=$(now)
  echo "Slurm, 2 tasks:            $(per_frame "$t0" "$t1")"
  if ((${SPEED_SEQUENCE:-0})); then
    t0=$(now)
    "$root/contrib/slurm/brightloom-slurm" --sequence --tasks 2 --cpus 1 --wait "$work/speed" "$work/slurm-seq" \
      > /dev/null
    t1=$(now)
    echo "Slurm, 2 tasks, --sequence: $(per_frame "$t0" "$t1")"
  fi
  same=0
  for f in "$work"/jobs2/*.png; do cmp -s "$f" "$work/slurm-out/${f##*/}" && same=$((same + 1)); done
  echo "pictures identical between the two paths: $same of $speed_frames"
fi
