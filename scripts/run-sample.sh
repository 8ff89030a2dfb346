#!/usr/bin/env bash
# Builds the updater and runs its main job against a sample release served
# on 127.0.0.1. While the update session cannot yet run end to end, this
# builds everything and runs the parts that exist: the test suite's
# end-to-end cases and the `update` binary's start-up.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" -j "$(nproc)"
if [ -x "$root/scripts/sample-release.sh" ]; then
  exec bash "$root/scripts/sample-release.sh" "$root/build"
fi
QT_QPA_PLATFORM=offscreen "$root/build/src/update"
