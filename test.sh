#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build and once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMIRTO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMIRTO_SANITIZE=ON -DMIRTO_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"

# The leak checker cannot run everywhere (under a tracer, in some sandboxes);
# there the sanitizer build still runs, without it, and says so.
leaks=1
probe=$(ASAN_OPTIONS=detect_leaks=1 build-asan/tests/core/tst_settings -functions 2>&1 >/dev/null || true)
if printf '%s' "$probe" | grep -q "LeakSanitizer has encountered a fatal error\|does not work under ptrace"; then
  echo "test.sh: the leak checker cannot run here; running the sanitizer build without it."
  leaks=0
fi
ASAN_OPTIONS=detect_leaks=$leaks:abort_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

# Every fuzz target for a short while from its seeds (longer runs: fuzz/run.sh).
fuzz/run.sh 10
