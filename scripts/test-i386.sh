#!/usr/bin/env bash
# Builds the patch engine, its maker and their tests as a 32-bit x86 program
# (the client type is linux_x86: size_t has 32 bits there) in build-i386/
# and runs the tests. Extra arguments go to ctest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup-deps.sh"
dir="$root/build-i386"
export PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig
cmake -S "$root" -B "$dir" -G Ninja -DKV_PATCH_ENGINE_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_LIBRARY_ARCHITECTURE=i386-linux-gnu \
  -DCMAKE_IGNORE_PATH=/usr/lib/x86_64-linux-gnu >/dev/null
cmake --build "$dir" -j "$(nproc)"
cd "$dir"
ctest --output-on-failure -j "$(nproc)" "$@"
