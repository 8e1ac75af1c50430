#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for
# SECONDS, starting from its seeds in fuzz/corpus/<target>/. What a run finds
# worth keeping goes to a scratch corpus that is thrown away afterwards, so
# the repository only ever holds the seeds. Exits non-zero when any target
# finds a crash, a broken property, a hang or a leak, and names the input
# that reproduces it (kept in build-fuzz/findings/).
#
#   fuzz/run.sh SECONDS [TARGET...]     targets: the fuzz_*.cpp names, all by default
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
  echo "usage: fuzz/run.sh SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift

scripts/ensure-deps.sh

# clang and its libFuzzer runtime, installed the way scripts/ensure-deps.sh
# installs the rest, and only when a fuzzer cannot be linked without them.
install_packages() {
  echo "Installing: $*"
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Please run as root or install sudo." >&2; exit 1; }
    sudo_cmd=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"
}
probe_dir=$(mktemp -d)
links_a_fuzzer() {
  command -v clang++ >/dev/null || return 1
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$probe_dir/probe" >/dev/null 2>&1
}
if ! links_a_fuzzer; then
  command -v clang++ >/dev/null || install_packages clang
  if ! links_a_fuzzer; then
    major=$(clang++ -dumpversion | cut -d. -f1)
    install_packages "libclang-rt-$major-dev"
  fi
  links_a_fuzzer || { echo "fuzz/run.sh: clang++ cannot link a libFuzzer target" >&2; exit 1; }
fi
rm -rf "$probe_dir"

cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER="$(command -v clang++)" >/dev/null
cmake --build build-fuzz -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    targets+=("${name#fuzz_}")
  done
fi
for t in "${targets[@]}"; do
  [ -x "build-fuzz/fuzz_$t" ] || { echo "fuzz/run.sh: no target '$t'" >&2; exit 2; }
done

# Working corpus and the targets' own files, in memory where there is room.
scratch_root=/dev/shm
[ -d "$scratch_root" ] && [ -w "$scratch_root" ] || scratch_root=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$scratch_root/mirto-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/findings build-fuzz/logs "$scratch/tmp"

# As in test.sh: where the leak checker cannot run (under a tracer, in some
# sandboxes), the targets run without it, and the script says so.
leaks=1
probe=$(ASAN_OPTIONS=detect_leaks=1 "build-fuzz/fuzz_${targets[0]}" -runs=1 2>&1 >/dev/null || true)
if printf '%s' "$probe" | grep -q "LeakSanitizer has encountered a fatal error\|does not work under ptrace"; then
  echo "fuzz/run.sh: the leak checker cannot run here; fuzzing without it."
  leaks=0
fi

failed=()
summary=()
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  log="build-fuzz/logs/$t.log"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  echo "fuzz/run.sh: $t for ${seconds}s"
  rc=0
  TMPDIR="$scratch/tmp" \
  ASAN_OPTIONS=detect_leaks=$leaks:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz_$t" "$scratch/$t" "${seeds[@]}" \
      -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -detect_leaks=$leaks \
      -print_final_stats=1 -artifact_prefix="$PWD/build-fuzz/findings/$t-" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ "$rc" -ne 0 ]; then
    reproducer=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    grep -m1 "property does not hold\|ERROR: \(Address\|Leak\)Sanitizer\|ERROR: libFuzzer\|runtime error" \
      "$log" || true
    echo "fuzz/run.sh: $t FAILED (exit $rc); reproducer: ${reproducer:-none written}; log: $log"
    echo "  reproduce with: build-fuzz/fuzz_$t ${reproducer:-<input>}"
    failed+=("$t")
    outcome="FINDING: ${reproducer:-see $log}"
  else
    outcome="no findings"
  fi
  summary+=("$(printf '%-15s %12s runs %9s exec/s   %s' "$t" "${runs:-?}" "${rate:-?}" "$outcome")")
done

echo
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz/run.sh: findings in: ${failed[*]}" >&2
  exit 1
fi
