#!/bin/sh
# Benchmark of qxl: compile time, throughput and peak memory on generated
# sources of 10k, 100k and 1M lines, compared with `tcc -c` on the same
# sources in the part of the language that C shares, plus the per-file cost
# of a batch of small files.  Prints a table and writes bench/RESULTS.md.
#
# Beside them: the bare-tokenizer floor (bench/floor.cpp, built here with
# -O2), timed in the same rounds, and callgrind's instruction counts of qxl
# on the 100k-line C-subset source split by stage, its front end set
# against the floor's count on the same file.  The split needs a qxl with
# debug information: built here, a Release qxl with -g is built for it in
# $QXL_BENCH_BUILD-prof (the same code as the Release build, with file
# names); given a path, that qxl is split if it has them.
#
# bench/HISTORY.md, measurements kept by hand, is appended to the results.
#
# Usage: bench/run.sh [path/to/qxl]
#
# Built here (without a path), the language server is measured too
# (bench/lsp.py): diagnostics after a change, hover and completion, and
# memory across many edits.
#
# Without a path, a Release qxl is built in $QXL_BENCH_BUILD (default
# /tmp/bench-build).  Generated sources go to a temporary directory that is
# removed at the end (kept when QXL_BENCH_KEEP=1).  Settings:
#   QXL_BENCH_SIZES   line counts, comma-separated (10000,100000,1000000)
#   QXL_BENCH_RUNS    timed rounds per size (21,11,7)
#   QXL_BENCH_BATCH   files in the small-file batch (300; 0 skips it)
#   QXL_BENCH_PACKAGE 1 (default) builds the Debian package as `make package`
#                     does and compares its qxl's start-up; 0 skips it
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${QXL_BENCH_BUILD:-/tmp/bench-build}

# ---- tools -----------------------------------------------------------------
missing=""
command -v python3 >/dev/null 2>&1 || missing="$missing python3"
[ -x /usr/bin/time ] || missing="$missing time"
command -v tcc >/dev/null 2>&1 || missing="$missing tcc"
command -v valgrind >/dev/null 2>&1 || missing="$missing valgrind"
command -v c++ >/dev/null 2>&1 || missing="$missing g++"
if [ $# -eq 0 ]; then
    command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
    command -v ninja >/dev/null 2>&1 || missing="$missing ninja-build"
fi
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "bench: installing$missing"
        apt-get update -qq
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    else
        echo "bench: missing tools; as root, install them with:" >&2
        echo "bench:   apt-get install$missing" >&2
        exit 1
    fi
fi

# ---- the compiler ----------------------------------------------------------
lsp=
if [ $# -ge 1 ]; then
    qxl=$1
    [ -x "$qxl" ] || { echo "bench: $qxl is not an executable" >&2; exit 1; }
    prof_qxl=$qxl
else
    echo "bench: building a Release qxl laid out by its run profile in $build"
    # The tests are not built, so neither is the emit check: the compiler
    # measured is the one the package ships, built the way it is.
    sh "$repo/scripts/profiled-build.sh" "$build" -DCMAKE_BUILD_TYPE=Release \
        >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
    ninja -C "$build" qxl qxl-lsp >/dev/null
    qxl=$build/qxl
    lsp=$build/tools/qxl-lsp
    echo "bench: building the same qxl with debug information in $build-prof"
    cmake -S "$repo" -B "$build-prof" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS=-g -DQXL_TESTS=OFF \
          -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
          -DQXL_PROFILE=use "-DQXL_PROFILE_DIR=$build/profile" >/dev/null
    ninja -C "$build-prof" qxl >/dev/null
    prof_qxl=$build-prof/qxl
fi
qxl=$(cd "$(dirname "$qxl")" && pwd)/$(basename "$qxl")
prof_qxl=$(cd "$(dirname "$prof_qxl")" && pwd)/$(basename "$prof_qxl")

# ---- the packaged compiler -------------------------------------------------
package_qxl=
if [ "${QXL_BENCH_PACKAGE:-1}" = 1 ]; then
    echo "bench: building the Debian package in ${build}-package"
    pkgdir=$(mktemp -d "${TMPDIR:-/tmp}/qxl-bench-package.XXXXXX")
    QXL_PACKAGE_BUILD=${build}-package sh "$repo/scripts/package.sh" "$pkgdir/deb" >"$pkgdir/log" 2>&1 ||
        { cat "$pkgdir/log" >&2; echo "bench: make package failed" >&2; exit 1; }
    dpkg -x "$pkgdir"/deb/*.deb "$pkgdir/root"
    package_qxl=$pkgdir/root/usr/bin/qxl
fi

# ---- measure ---------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/qxl-bench.XXXXXX")
if [ "${QXL_BENCH_KEEP:-0}" = 1 ]; then
    echo "bench: sources kept in $work"
else
    trap 'rm -rf "$work" ${pkgdir:+"$pkgdir"}' EXIT INT TERM
fi

# The floor, linked like qxl (C++ runtime inside) when the static runtime is
# there, so that neither pays the dynamic loader for it.  -g gives callgrind
# its file names and leaves the code as it is.
floor=$work/qxl-floor
floor_flags="-O2 -g -std=c++20 -Wall -Wextra"
# shellcheck disable=SC2086
c++ $floor_flags -static-libstdc++ -static-libgcc -o "$floor" "$here/floor.cpp" 2>/dev/null ||
    c++ $floor_flags -o "$floor" "$here/floor.cpp" ||
    { echo "bench: cannot build bench/floor.cpp" >&2; exit 1; }

python3 "$here/measure.py" \
    --qxl "$qxl" \
    --tcc "$(command -v tcc)" \
    --work "$work" \
    --repo "$repo" \
    --results "$here/RESULTS.md" \
    --sizes "${QXL_BENCH_SIZES:-10000,100000,1000000}" \
    --runs "${QXL_BENCH_RUNS:-21,11,7}" \
    --batch "${QXL_BENCH_BATCH:-300}" \
    --package-qxl "$package_qxl" \
    --floor "$floor" \
    --prof-qxl "$prof_qxl"

# The language server, when it was built here.
if [ -n "$lsp" ]; then
    python3 "$here/lsp.py" --server "$lsp" --repo "$repo" \
        --results "$here/RESULTS.md"
fi

# Measurements kept by hand (each speed step's effect, the cost of the
# language server's hooks) follow the ones made here.
if [ -f "$here/HISTORY.md" ]; then
    { echo; cat "$here/HISTORY.md"; } >> "$here/RESULTS.md"
fi
