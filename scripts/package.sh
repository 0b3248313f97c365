#!/bin/sh
# Builds the Debian package of qxl: qxl_VERSION-REVISION_ARCH.deb.
#
#   sh scripts/package.sh [OUTPUT_DIRECTORY]
#
# The programs are built in build-package/ for the package: optimised,
# stripped, with the C++ runtime and the Unicode library's code linked in
# and the Unicode data taken from the system's shared library (so the
# programs share one copy of it and start as fast as the static build).
# They are installed under /usr in the layout of `make install`, with the
# manual pages compressed, the copyright file and the changelog; the
# package's Depends come from dpkg-shlibdeps.  The version is the
# project's, the revision the first entry of packaging/debian/changelog.
#
# Exit status: 0 with the package's path as the last line; 1 on failure.
set -eu

cd "$(dirname "$0")/.."
out=${1:-.}
build=${QXL_PACKAGE_BUILD:-build-package}

fail() {
    echo "package: $*" >&2
    exit 1
}

for tool in dpkg-deb dpkg-shlibdeps gzip; do
    command -v $tool >/dev/null 2>&1 || fail "$tool is missing (apt-get install dpkg-dev)"
done

# The distribution's hardening flags (fortified libc calls, stack
# protector, read-only relocations bound at start); the build type's -O3
# comes after their -O2.
flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
flags="$flags $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)"
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)

echo "== $build: building the programs for the package"
# The programs are laid out by a profile of the compiler's own runs.
if ! { sh scripts/profiled-build.sh "$build" -DCMAKE_BUILD_TYPE=Release \
         -DQXL_SYSTEM_UNICODE_DATA=ON \
         "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" &&
       cmake --build "$build"; } >"$build.log" 2>&1; then
    cat "$build.log" >&2
    fail "the build failed (log: $build.log)"
fi

build=$(cd "$build" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
entry=$(head -n 1 packaging/debian/changelog)
full=$(echo "$entry" | sed -n 's/^qxl (\([^)]*\)).*/\1/p')
case $full in
    "$version"-*) ;;
    *) fail "the changelog's first entry ($full) is not for version $version" ;;
esac
arch=$(dpkg --print-architecture)

# dpkg-shlibdeps wants the package's files in debian/PACKAGE of a source
# tree with a debian/control.
work=$build/deb
root=$work/debian/qxl
rm -rf "$work"
mkdir -p "$root/DEBIAN"
printf 'Source: qxl\n\nPackage: qxl\nArchitecture: any\n' >"$work/debian/control"
DESTDIR=$root cmake --install "$build" --prefix /usr >"$build/install.log" 2>&1 ||
    { cat "$build/install.log" >&2; fail "installing into $root failed"; }
binaries=$(find "$root/usr/lib" -type f -perm -u+x)
[ -n "$binaries" ] || fail "no programs were installed"
for binary in $binaries; do
    strip --remove-section=.comment --remove-section=.note "$binary"
done

doc=$root/usr/share/doc/qxl
mkdir -p "$doc"
cp packaging/debian/copyright "$doc/copyright"
gzip -9n <packaging/debian/changelog >"$doc/changelog.Debian.gz"
for page in "$root"/usr/share/man/man*/*; do
    [ -f "$page" ] && gzip -9n "$page"
done

overrides=$root/usr/share/lintian/overrides
mkdir -p "$overrides"
cp packaging/debian/lintian-overrides "$overrides/qxl"

# The package's dependencies, from the libraries the programs link.
# Every program links the Unicode data library although it finds the data
# through the library's handle, which dpkg-shlibdeps cannot see: warn only
# about symbols found nowhere.
depends=$(cd "$work" && dpkg-shlibdeps --warnings=1 -O $(echo "$binaries" | sed "s|^$work/||") |
    sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies"

find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod go-w {} +
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$full/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" packaging/debian/control.in >"$root/DEBIAN/control"
(cd "$root" && find usr -type f -exec md5sum {} + | LC_ALL=C sort -k2) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

mkdir -p "$out"
deb=$out/qxl_${full}_$arch.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "== $deb: $size KiB installed; Depends: $depends"
echo "$deb"
