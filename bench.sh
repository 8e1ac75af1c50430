#!/usr/bin/env bash
# Installs what is missing, builds in Release and runs every benchmark. Each
# prints its figures and exits non-zero when it prints FAIL; this script does
# too when any of them failed.
set -uo pipefail
cd "$(dirname "$0")"
scripts/ensure-deps.sh || exit 1
export QT_QPA_PLATFORM=offscreen
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
targets=(mirto-sim mirto-cli)
for src in bench/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build build-release -j "$(nproc)" --target "${targets[@]}" || exit 1
failed=()
for src in bench/*.cpp; do
  name=$(basename "$src" .cpp)
  echo "== $name"
  "build-release/bench/$name" || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All benchmarks passed."
