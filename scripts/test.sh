#!/usr/bin/env bash
# Builds the updater and runs every test with CTest.
#   scripts/test.sh           Release build in build/ (the build type that
#                             ships; the sanitizer builds cover Debug)
#   scripts/test.sh --asan    AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh --tsan    ThreadSanitizer in build-tsan/
#   scripts/test.sh --slow-connect
#                             the Release build in build/, every program with
#                             each connect() to loopback held back
#                             (KV_TEST_CONNECT_DELAY_MS, 300 by default), as a
#                             loaded machine can hold back the network thread
# Extra arguments after the mode go to ctest (for example -R tst_composed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup-deps.sh"

mode="plain"
case "${1:-}" in
  --asan) mode="asan"; shift ;;
  --tsan) mode="tsan"; shift ;;
  --slow-connect) mode="slow"; shift ;;
esac

jobs="$(nproc)"
case "$mode" in
  plain|slow) dir="$root/build"; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan)  dir="$root/build-asan"; flags=(-DKV_SANITIZE=ON -DKV_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan)  dir="$root/build-tsan"; flags=(-DKV_TSAN=ON -DKV_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
esac

cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"

# intercept_tls_get_addr=0: the address sanitizer runtime of gcc 12 and clang
# 14 guesses, in its __tls_get_addr hook, that a thread-local block of a
# library loaded after start which lies 16 bytes into a page carries a header
# of a glibc older than 2.25, takes the allocator's words before it for a
# start and a size, and the leak check at exit then scans memory that is not
# there and dies ("Tracer caught signal 11"). Qt's image and bearer plugins
# are such libraries. Without the hook, glibc 2.36's thread-local blocks are
# still scanned, as heap blocks reachable from the thread's vector. The option
# can go once the runtime is LLVM 17 or GCC 14 or newer, which mend the guess.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:intercept_tls_get_addr=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:suppressions=$root/scripts/tsan.supp"
if [ "$mode" = slow ]; then
  export KV_TEST_CONNECT_DELAY_MS="${KV_TEST_CONNECT_DELAY_MS:-300}"
  export LD_PRELOAD="$dir/tests/support/libkv_test_slowconnect.so${LD_PRELOAD:+:$LD_PRELOAD}"
  echo "every connect() to loopback waits ${KV_TEST_CONNECT_DELAY_MS} ms"
fi
cd "$dir"
ctest --output-on-failure -j "$jobs" "$@"
