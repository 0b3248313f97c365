#!/bin/sh
# Builds qxl twice, plainly with g++ and with AddressSanitizer and
# UndefinedBehaviorSanitizer with clang++, runs every unit and end-to-end
# test in both, and ends with one line: "N passed, M failed".
set -u

passed=0
failed=0

run_build() {  # directory configure-command...
  dir=$1; shift
  echo "== $dir: configuring ($*) and building; log in $dir.log"
  if ! "$@" >"$dir.log" 2>&1 || ! cmake --build "$dir" >>"$dir.log" 2>&1; then
    cat "$dir.log"
    echo "== $dir: build FAILED"
    failed=$((failed + 1))
    return
  fi
  log="$dir/ctest.log"
  echo "== $dir: running the tests; log in $log"
  (cd "$dir" && ctest --output-on-failure -j 2) >"$log" 2>&1
  # Show what failed (with its output) and the summary, not every pass.
  grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' "$log" |
    grep -v '^$' | tail -n 60
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "== $dir: no test summary"
    failed=$((failed + 1))
    return
  fi
  total=$(echo "$summary" | sed -E 's/.*out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

mkdir -p build build-asan
run_build build sh scripts/configure.sh build
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS UBSAN_OPTIONS
run_build build-asan cmake -S . -B build-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DQXL_SANITIZE=ON

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
