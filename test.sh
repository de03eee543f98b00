#!/usr/bin/env bash
# Builds the server and runs every test:
#   1. build/       RelWithDebInfo, all tests (ctest)
#   2. build-asan/  Debug with AddressSanitizer and UBSan, tests only (ctest)
#   3. build-fuzz/  clang with libFuzzer: every fuzz_* target for 60 seconds
# The MySQL tests run against a private MariaDB server that this script starts
# (scripts/mariadb-test-server.sh) and stops at the end; a server named by
# ORDEX_TEST_MYSQL beforehand is used as it is. Exits non-zero when any step
# fails; the last line sums up the ctest runs: "N passed, N failed".
# Environment: ORDEX_JOBS (parallel build jobs, default 2), ORDEX_FUZZ_SECONDS
# (default 60).
set -uo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${ORDEX_JOBS:-2}
FUZZ_SECONDS=${ORDEX_FUZZ_SECONDS:-60}

failed_steps=()
total_passed=0
total_failed=0

step() { echo; echo "=== $*"; }
fail() { echo "test.sh: FAILED: $*" >&2; failed_steps+=("$*"); }

scripts/ensure-packages.sh || { echo "test.sh: the build packages could not be installed" >&2; exit 1; }

# MariaDB for the MySQL tests.
started_mariadb=0
stop_mariadb() {
  if [ "$started_mariadb" = 1 ]; then
    "$ROOT/scripts/mariadb-test-server.sh" stop || true
  fi
}
trap stop_mariadb EXIT
if [ -z "${ORDEX_TEST_MYSQL:-}" ]; then
  step "MariaDB test server"
  already_running=0
  scripts/mariadb-test-server.sh status && already_running=1
  if exports=$(scripts/mariadb-test-server.sh); then
    eval "$exports"
    export ORDEX_TEST_MYSQL
    [ "$already_running" = 1 ] || started_mariadb=1
  else
    fail "MariaDB test server did not start; MySQL tests are skipped"
  fi
fi

# Runs ctest in a build folder and adds its counts to the totals.
run_ctest() {
  local dir=$1 log
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure --timeout 600) 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local summary passed=0 failed=0
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$summary" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    local total
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((total - failed))
  fi
  rm -f "$log"
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  [ "$rc" -eq 0 ] || fail "ctest in $dir"
}

# 1. The regular build and its tests.
step "build/ (RelWithDebInfo)"
if cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
   cmake --build build -j "$JOBS"; then
  run_ctest build
else
  fail "build/"
fi

# 2. Sanitizers.
step "build-asan/ (Debug, AddressSanitizer + UBSan)"
if cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORDEX_SANITIZE=ON -DORDEX_BENCH=OFF &&
   cmake --build build-asan -j "$JOBS"; then
  run_ctest build-asan
else
  fail "build-asan/"
fi

# 3. Fuzzing.
step "build-fuzz/ (clang, libFuzzer, ${FUZZ_SECONDS}s per target)"
fuzzers=()
for source in fuzz/*.cpp; do
  [ -e "$source" ] || continue
  name=$(basename "$source" .cpp)
  fuzzers+=("fuzz_$name")
done
if [ "${#fuzzers[@]}" -eq 0 ]; then
  echo "no fuzz targets"
elif CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
       -DORDEX_FUZZ=ON -DORDEX_TESTS=OFF -DORDEX_BENCH=OFF &&
     cmake --build build-fuzz -j "$JOBS" --target "${fuzzers[@]}"; then
  for fuzzer in "${fuzzers[@]}"; do
    corpus=build-fuzz/corpus/$fuzzer
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/corpus/${fuzzer#fuzz_}" ] && seeds=("fuzz/corpus/${fuzzer#fuzz_}")
    echo "--- $fuzzer"
    if ! (cd build-fuzz && "./$fuzzer" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
            "$ROOT/$corpus" "${seeds[@]/#/$ROOT/}"); then
      fail "$fuzzer"
    fi
  done
else
  fail "build-fuzz/"
fi

echo
if [ "${#failed_steps[@]}" -ne 0 ]; then
  echo "Failed steps:"
  printf '  %s\n' "${failed_steps[@]}"
fi
echo "$total_passed passed, $total_failed failed"
[ "${#failed_steps[@]}" -eq 0 ]
