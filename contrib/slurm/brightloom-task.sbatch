#!/bin/bash
# One task of a brightloom job array: renders shard K of N (K = the array index, 1 to N) of the
# files matching GLOB in IN. Submitted by brightloom-slurm; by hand:
#   sbatch --array=1-8 --cpus-per-task=4 brightloom-task.sbatch render 8 IN '*.exr' OUT WORK [render options]
# N is given, not taken from the array, so that failed tasks can be resubmitted alone
# (--array=3,5) and still render their own shards.
# MODE: render (pictures), measure (a sequence's first pass), sequence (its second pass).
#SBATCH --job-name=brightloom
set -euo pipefail

if (($# < 6)); then
  echo "usage: brightloom-task.sbatch render|measure|sequence N IN GLOB OUT WORK [render options]" >&2
  exit 2
fi
mode=$1 n=$2 in=$3 glob=$4 out=$5 work=$6
shift 6
k=${SLURM_ARRAY_TASK_ID:?run this as a task of a Slurm job array (sbatch --array=1-N)}
threads=${SLURM_CPUS_PER_TASK:-1}
bl=${BRIGHTLOOM:-brightloom}

shopt -s nullglob
files=("$in"/$glob)
if ((${#files[@]} == 0)); then
  echo "brightloom-task: no files match $in/$glob" >&2
  exit 2
fi
mkdir -p "$out" "$work/reports" "$work/stats"
common=(--shard "$k/$n" --threads "$threads" -q)

case $mode in
  render)
    exec "$bl" render "${files[@]}" "${common[@]}" --skip-existing --out-dir "$out" \
      --report "$work/reports/report-$k.jsonl" "$@"
    ;;
  measure)
    exec "$bl" render "${files[@]}" "${common[@]}" --sequence --pass measure \
      --stats "$work/stats/part-$k.stats" --report "$work/reports/measure-$k.jsonl" "$@"
    ;;
  sequence)
    stats=()
    for f in "$work"/stats/part-*.stats; do stats+=(--stats "$f"); done
    exec "$bl" render "${files[@]}" "${common[@]}" --sequence --pass render "${stats[@]}" --skip-existing \
      --out-dir "$out" --report "$work/reports/report-$k.jsonl" "$@"
    ;;
  *)
    echo "brightloom-task: unknown mode $mode (render, measure or sequence)" >&2
    exit 2
    ;;
esac
