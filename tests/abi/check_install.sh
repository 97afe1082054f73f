#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the layout that outside code builds against,
# then compiles and runs a small C program against the installed header and library alone: by
# hand, through pkg-config and through CMake's find_package.
# Usage: check_install.sh BUILD_DIR C_COMPILER [EXTRA_FLAGS...] (the flags the engine was built with,
# e.g. the sanitizers, which a program linking a sanitized library must share)
set -euo pipefail
build=$1; cc=$2; shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
expected=(include/tmlib/tmlib.h lib/libtmlib.so lib/pkgconfig/tmlib.pc lib/cmake/tmlib/tmlibConfig.cmake)
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

# pkg-config: the flags it gives are all a program needs.
pc_flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs tmlib)
[[ "$pc_flags" == *"-I$prefix/include"* ]] || { echo "tmlib.pc does not name the install prefix: $pc_flags"; exit 1; }
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Wextra -Werror "$@" "$here/c_header_check.c" $pc_flags -Wl,-rpath,"$prefix/lib" \
  -o "$prefix/c_header_check_pc"
"$prefix/c_header_check_pc"

# find_package(tmlib) from a separate CMake project.
cmake -S "$here/consumer" -B "$prefix/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$*" -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
"$prefix/consumer/c_header_check"
echo "install layout (${#expected[@]} files) and the C header check (by hand, pkg-config, find_package) passed"
