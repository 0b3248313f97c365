#!/bin/sh
# A build laid out by a run profile refuses to be configured without one
# (it would silently come out slower than an ordinary build) and refuses a
# profile mode it does not know.
#
#   sh profile_guard_test.sh SOURCE_DIR
set -u
src=$1
. "$src/tests/product/lib.sh"
mkdir -p "$scratch/empty"
run missing cmake -S "$src" -B "$scratch/missing" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
    -DQXL_TESTS=OFF -DQXL_PROFILE=use "-DQXL_PROFILE_DIR=$scratch/empty"
expect_status missing 1
grep -q "no profile in $scratch/empty" "$scratch/missing.err" ||
    fail "missing: the message does not name the empty profile directory"
run bogus cmake -S "$src" -B "$scratch/bogus" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
    -DQXL_TESTS=OFF -DQXL_PROFILE=sometimes
expect_status bogus 1
grep -q "not 'sometimes'" "$scratch/bogus.err" ||
    fail "bogus: the message does not name the mode"
finish
