#!/bin/sh
# `make install` in the way of something: each case must fail with a clear
# message and leave what was there untouched.
#
#   sh install_bad_input_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
. "$src/tests/product/lib.sh"

install_sh="$src/scripts/install.sh"
prefix=/usr/local

# expect_refused NAME MESSAGE DESTDIR: the install fails with MESSAGE and
# the tree at DESTDIR is as it was.
expect_refused() {
    before=$(tree "$3" 2>/dev/null; ls -ld "$3" 2>/dev/null | cut -c1-10)
    run "$1" sh "$install_sh" install "$build" "$prefix" "$3"
    expect_status "$1" 1
    expect_text "$1" err "$2"
    after=$(tree "$3" 2>/dev/null; ls -ld "$3" 2>/dev/null | cut -c1-10)
    [ "$before" = "$after" ] || fail "$1: the refused install changed $3"
}

# DESTDIR is a file.
echo data >"$scratch/file"
expect_refused destdir_file "$scratch/file exists and is not a directory" "$scratch/file"

# A file where a directory of the layout must go.
mkdir -p "$scratch/t1/usr/local"
echo data >"$scratch/t1/usr/local/lib"
expect_refused file_for_dir "$scratch/t1/usr/local/lib exists and is not a directory" "$scratch/t1"

# A link to a file where a directory must go.
mkdir -p "$scratch/t2/usr/local"
ln -s ../../../file "$scratch/t2/usr/local/share"
expect_refused link_for_dir "$scratch/t2/usr/local/share exists and is not a directory" "$scratch/t2"

# A directory where a program's link must go.
mkdir -p "$scratch/t3/usr/local/bin/qxl"
expect_refused dir_for_file "$scratch/t3/usr/local/bin/qxl is a directory" "$scratch/t3"

# A relative PREFIX.
run relative sh "$install_sh" install "$build" usr/local "$scratch/t4"
expect_status relative 1
expect_text relative err "PREFIX must be an absolute path"
expect_absent "$scratch/t4"

# A build that was never configured.
run unbuilt sh "$install_sh" install "$scratch/nothing" "$prefix" "$scratch/t5"
expect_status unbuilt 1
expect_text unbuilt err "no configured build"
expect_absent "$scratch/t5"

# Wrong words.
run words sh "$install_sh" reinstall "$build" "$prefix"
expect_status words 2

# A DESTDIR that cannot be written, and one inside it that is missing.
# Root may write anywhere, so then the install runs as an ordinary user.
# The script is copied where that user may read it: the checkout may be in
# a private directory.
as_user=
user_install_sh=$install_sh
if [ "$(id -u)" = 0 ]; then
    as_user="setpriv --reuid=65534 --regid=65534 --clear-groups --"
    chmod o+rx "$scratch"
    user_install_sh=$scratch/install.sh
    cp "$install_sh" "$user_install_sh"
    chmod a+r "$user_install_sh"
fi
mkdir -p "$scratch/ro"
chmod 0555 "$scratch/ro"
run readonly $as_user sh "$user_install_sh" install "$build" "$prefix" "$scratch/ro"
expect_status readonly 1
expect_text readonly err "cannot create $scratch/ro/usr/local: $scratch/ro is not writable"
expect_absent "$scratch/ro/usr"
run readonly_missing $as_user sh "$user_install_sh" install "$build" "$prefix" "$scratch/ro/missing"
expect_status readonly_missing 1
expect_text readonly_missing err "is not writable"
expect_absent "$scratch/ro/missing"

# An installation whose directories became read-only cannot be removed,
# and says so.
mkdir -p "$scratch/t6"
run fresh sh "$install_sh" install "$build" "$prefix" "$scratch/t6"
expect_status fresh 0
chmod -R a-w "$scratch/t6/usr/local/lib"
run locked $as_user sh "$user_install_sh" uninstall lib/quillet13.17 "$prefix" "$scratch/t6"
expect_status locked 1
expect_text locked err "cannot write into"
[ -f "$scratch/t6/usr/local/lib/quillet13.17/installed-files" ] ||
    fail "a refused uninstall removed the record of the installation"

finish
