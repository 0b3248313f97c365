#!/bin/sh
# Builds the Debian package as `make package` does, into OUTPUT (emptied
# first), for the package tests that follow.
#
#   sh package_build_test.sh SOURCE_DIR PACKAGE_BUILD_DIR OUTPUT
set -u
src=$1
rm -rf "$3"
mkdir -p "$3"
QXL_PACKAGE_BUILD=$2 sh "$src/scripts/package.sh" "$3"
