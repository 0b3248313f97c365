#!/bin/sh
# Configures BUILD for programs laid out by a profile of the compiler's own
# runs, and makes that profile: a first build (BUILD-training) records which
# branches and calls qxl takes while it compiles generated sources of every
# kind the benchmark has (full QXL and the part C shares, large and small,
# with and without debug information); BUILD is then configured to build
# with that profile.  The programs do exactly what the ordinary build's do;
# the profile only decides which paths are laid out and inlined as the hot
# ones, across the modules (both builds optimise at link time as well).
# Needs g++ and python3.
#
#   sh scripts/profiled-build.sh BUILD [CMAKE-OPTION...]
#
# The options go to both configurations (build type, flags and so on),
# which must compile the same code: both are product builds, without the
# tests and their checks.
# Build BUILD afterwards with `cmake --build BUILD`.
set -eu

[ $# -ge 1 ] || { echo "usage: profiled-build.sh BUILD [CMAKE-OPTION...]" >&2; exit 2; }
build=$1
shift
repo=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build"
build=$(cd "$build" && pwd)
training=$build-training
profile=$build/profile

command -v python3 >/dev/null 2>&1 || { echo "profiled-build: python3 is missing" >&2; exit 1; }

rm -rf "$profile"
cmake -S "$repo" -B "$training" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
      -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON "$@" -DQXL_TESTS=OFF -DQXL_PROFILE=generate "-DQXL_PROFILE_DIR=$profile"
cmake --build "$training" --target qxl

sources=$(mktemp -d "${TMPDIR:-/tmp}/qxl-training.XXXXXX")
trap 'rm -rf "$sources"' EXIT INT TERM
# Seeds other than the benchmark's, so that it measures sources the
# profile has not seen.
python3 "$repo/bench/generate.py" --lines 40000 --seed 11 -q -o "$sources/full.q"
python3 "$repo/bench/generate.py" --lines 40000 --seed 12 -q --common -o "$sources/common.q"
python3 "$repo/bench/generate.py" --lines 2000 --seed 13 -q -o "$sources/small.q"
python3 "$repo/bench/generate.py" --lines 2000 --seed 14 -q --common -o "$sources/small_common.q"
for source in "$sources"/full.q "$sources"/common.q "$sources"/small.q \
              "$sources"/small_common.q "$repo"/examples/*.q; do
    for options in "" "-s -b"; do
        # shellcheck disable=SC2086
        (cd "$(dirname "$source")" &&
         "$training/qxl" -n -q $options -o "$sources/out.b" "$source") ||
            { echo "profiled-build: the training compile of $source failed" >&2; exit 1; }
    done
done

# A build without a profile would take every function for one never run.
ls "$profile"/*.gcda >/dev/null 2>&1 ||
    { echo "profiled-build: the training runs wrote no profile in $profile" >&2; exit 1; }

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
      -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON "$@" -DQXL_TESTS=OFF -DQXL_PROFILE=use "-DQXL_PROFILE_DIR=$profile"
