#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 30), with the
# flags in fuzz/AREA/TARGET.flags when that file exists.
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup-deps.sh"
seconds="${1:-30}"
shift || true
dir="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DKV_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="-fsanitize=address,undefined,fuzzer-no-link" \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$dir" -j "$(nproc)"

shopt -s nullglob
targets=("$dir"/fuzz/*/fuzz_*)
ran=0
failed=0
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name="$(basename "$t")"
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/$(basename "$(dirname "$t")")/seeds/$name"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  # A target's own libFuzzer flags (such as a process memory limit).
  flags=()
  flagfile="$root/fuzz/$(basename "$(dirname "$t")")/$name.flags"
  [ -f "$flagfile" ] && read -r -a flags <"$flagfile"
  echo "fuzz: $name for ${seconds}s"
  if "$t" -max_total_time="$seconds" -print_final_stats=1 "${flags[@]}" "$@" "${args[@]}" \
    >"$dir/$name.log" 2>&1; then
    grep -E 'stat::number_of_executed_units' "$dir/$name.log" || true
  else
    echo "fuzz: $name FAILED"; tail -n 60 "$dir/$name.log"; failed=$((failed + 1))
  fi
  ran=$((ran + 1))
done
echo "fuzz: $((ran - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
