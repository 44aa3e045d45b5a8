#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds a user's program
# against it twice, through the CMake package and through pkg-config, then
# runs both and the installed tool.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)/consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset ZOR_PLUGIN_PATH

cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" | tee "$work/out"
grep -q "^plug-in $prefix/" "$work/out"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
c++ -std=c++20 "$src/main.cpp" -o "$work/pc" $(pkg-config --cflags --libs wren)
LD_LIBRARY_PATH=$prefix/lib "$work/pc"
test "$(pkg-config --modversion wren-kl)" = "$(pkg-config --modversion wren)"

"$prefix/bin/wren" paths >/dev/null
echo "installed tree: consumer programs and the tool work"
