#!/usr/bin/env bash
# The README's main job: builds the updater in build/, then updates a sample
# installation from release 1 to release 2 through both stages, with the
# window on the screen (on Xvfb when there is no display), against nginx and
# a banner server on 127.0.0.1 (see scripts/sample-update.sh). Ends with a
# line saying whether the installation now equals release 2 and where the
# pictures of both stages' windows and the log files are.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup-deps.sh"
# The same build as scripts/test.sh makes, so the two share build/.
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$(nproc)"
exec bash "$root/scripts/sample-update.sh" "$root/build" "$root/build/sample"
