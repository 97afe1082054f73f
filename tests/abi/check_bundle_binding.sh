#!/usr/bin/env bash
# The dialog bundle carries its own engine and exports the engine's C names, as the engine does.
# Its own calls to those names must stay inside it: a relocation against one of them would let
# a host that has libtmlib.so (or another bundle) loaded put that engine in place of the one the
# dialog was built with, without a word.
set -euo pipefail
bundle=$1
abi=$(cd "$(dirname "$0")/../../engine/abi" && pwd)
required=$(grep -v '^#' "$abi/required.txt" | sort -u)
exported=$(nm -D --defined-only "$bundle" | awk '{print $3}' | sed 's/@.*//' | sort -u)
status=0
missing=$(comm -23 <(echo "$required") <(echo "$exported"))
if [[ -n "$missing" ]]; then
  echo "engine names the bundle does not export:"; echo "$missing" | sed 's/^/  /'; status=1
fi
# Symbols named by the bundle's dynamic relocations (calls through the PLT, addresses through
# the GOT).
relocated=$(readelf -rW "$bundle" | awk 'NF >= 5 && $5 !~ /^[0-9a-f]+$/ {print $5}' | sed 's/@.*//' | sort -u)
bound_outside=$(comm -12 <(echo "$required") <(echo "$relocated"))
# A library marked SYMBOLIC has every reference looked up in itself first (thread-local
# variables keep a relocation that way), so what is left still reaches its own engine.
if readelf -dW "$bundle" | grep -q '(FLAGS).*SYMBOLIC'; then bound_outside=""; fi
if [[ -n "$bound_outside" ]]; then
  echo "engine names the bundle calls through its relocations (a host's engine would replace them):"
  echo "$bound_outside" | sed 's/^/  /'; status=1
fi
if [[ $status -eq 0 ]]; then echo "the bundle exports the $(echo "$required" | wc -l) engine names and binds its own calls to them"; fi
exit $status
