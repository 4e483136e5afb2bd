#!/usr/bin/env bash
# Installs a configured build tree into a fresh prefix and builds the consumer
# against it twice: through find_package(zv_runtime) and through pkg-config.
# Usage: check_install.sh <build dir> [C compiler]
set -euo pipefail
build=$(cd "$1" && pwd)
cc=${2:-cc}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

# The installed layout: header, SONAME chain, CMake package, pkg-config file.
libdir=$(dirname "$(find "$prefix" -name 'libzv_runtime.so' | head -n 1)")
test -f "$prefix/include/zv_runtime.h"
test -L "$libdir/libzv_runtime.so"
soname=$(objdump -p "$libdir/libzv_runtime.so" | awk '/SONAME/ {print $2}')
test "$soname" = "libzv_runtime.so.1"
test -f "$libdir/$soname"
test -f "$libdir/cmake/zv_runtime/zv_runtimeConfig.cmake"
test -f "$libdir/pkgconfig/zv_runtime.pc"

echo "== find_package(zv_runtime CONFIG)"
cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/zv-consumer"

echo "== pkg-config zv_runtime"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
test "$(pkg-config --modversion zv_runtime)" = "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/zv_runtime.pc")"
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Werror -o "$work/pc-consumer" "$here/consumer.c" \
  $(pkg-config --cflags --libs zv_runtime) -Wl,-rpath,"$libdir"
"$work/pc-consumer"
