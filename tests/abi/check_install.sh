#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the layout that outside code builds against,
# then compiles and runs a small C program against the installed header and library alone.
# Usage: check_install.sh BUILD_DIR C_COMPILER [EXTRA_FLAGS...] (the flags the engine was built with,
# e.g. the sanitizers, which a program linking a sanitized library must share)
set -euo pipefail
build=$1; cc=$2; shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
expected=(include/tmlib/tmlib.h lib/libtmlib.so)
[[ -e "$build/host/brightloom" ]] && expected+=(bin/brightloom)
[[ -d "$(dirname "$0")/../../resources/presets" ]] && expected+=(share/brightloom/presets/Natural.xmp)
[[ -e "$build/dialog/libBrightloomFilter.so" ]] && expected+=(lib/libBrightloomFilter.so include/brightloom/plugin.h)
status=0
for f in "${expected[@]}"; do
  [[ -e "$prefix/$f" ]] || { echo "install layout: $f is missing"; status=1; }
done
[[ $status -eq 0 ]] || exit $status
here=$(cd "$(dirname "$0")" && pwd)
"$cc" -std=c11 -Wall -Wextra -Werror "$@" -I"$prefix/include" "$here/c_header_check.c" -L"$prefix/lib" -ltmlib \
  -Wl,-rpath,"$prefix/lib" -o "$prefix/c_header_check"
"$prefix/c_header_check"
echo "install layout (${#expected[@]} files) and the C header check passed"
