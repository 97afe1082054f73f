#!/usr/bin/env bash
# Checks the dynamic symbol table of libtmlib.so against the engine's C ABI: every ABI name is
# exported, and nothing else leaks (no C++ names, no helpers outside the known engine names).
set -euo pipefail
lib=$1
abi=$(cd "$(dirname "$0")/../../engine/abi" && pwd)
required=$(grep -v '^#' "$abi/required.txt" | sort -u)
optional=$(grep -v '^#' "$abi/optional.txt" | sort -u)
# Defined, global symbols; thread-local variables show as 'B'/'D' with TLS too.
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWu]$/ || $2 ~ /^[tdbr]$/ {print $3}' | sed 's/@.*//' | sort -u)
status=0
missing=$(comm -23 <(echo "$required") <(echo "$exported"))
if [[ -n "$missing" ]]; then
  echo "missing from $lib:"; echo "$missing" | sed 's/^/  /'; status=1
fi
extra=$(comm -13 <(printf '%s\n%s\n' "$required" "$optional" | sort -u) <(echo "$exported") \
        | grep -v -E '^(_init|_fini|__bss_start|_edata|_end)$' || true)
if [[ -n "$extra" ]]; then
  echo "exported but not part of the engine's ABI:"; echo "$extra" | sed 's/^/  /'; status=1
fi
if [[ $status -eq 0 ]]; then echo "libtmlib.so exports the $(echo "$required" | wc -l) ABI names and nothing foreign"; fi
exit $status
