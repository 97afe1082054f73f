#!/bin/bash
# The last step of a brightloom batch: merges the reports of all tasks into WORK/report.jsonl,
# lists the files that failed and the ones no task reported (a task that died), and exits 1 when
# there are any. Usage: brightloom-report.sbatch WORK EXPECTED
#SBATCH --job-name=brightloom-report
set -uo pipefail

work=${1:?usage: brightloom-report.sbatch WORK EXPECTED}
expected=${2:?usage: brightloom-report.sbatch WORK EXPECTED}
shopt -s nullglob
parts=("$work"/reports/report-*.jsonl)
cat /dev/null "${parts[@]}" > "$work/report.jsonl"
total=$(wc -l < "$work/report.jsonl")
failed=$(grep -c '"result":"failed"' "$work/report.jsonl")
done_=$((total - failed))
echo "brightloom: $done_ of $expected files done, $failed failed, $((expected - total)) not reported"
echo "brightloom: report: $work/report.jsonl"
if ((failed > 0)); then
  echo "brightloom: failed:"
  grep '"result":"failed"' "$work/report.jsonl" | sed -e 's/^{"input":\("[^"]*"\).*"error":\(.*\)}$/  \1: \2/'
fi
if ((total < expected)); then
  echo "brightloom: some tasks did not finish; their logs are in $work/logs (resubmit: finished pictures are kept)"
fi
((failed == 0 && total >= expected))
