#!/bin/sh
# Configures the main build directory (default build/) the one way that
# every set-up command uses, so that `make demo`, `make test` and
# `make install` share one tree and build each object once.
#
#   sh scripts/configure.sh [BUILD]
set -eu
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQXL_SANITIZE=OFF
