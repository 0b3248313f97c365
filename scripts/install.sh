#!/bin/sh
# Installs qxl from a build directory, or removes an installation.
#
#   sh scripts/install.sh install BUILD PREFIX [DESTDIR]
#   sh scripts/install.sh uninstall PRODUCT PREFIX [DESTDIR]
#
# install: the build's install rules are run into a staging directory
# first; then every path is checked against what is already at
# DESTDIR/PREFIX (a file where a directory must go, a directory where a
# file must go, a place that cannot be written) before anything is
# touched.  Files replace earlier ones through a rename, so a second
# install over the first gives the same result.  What was installed is
# recorded, with each file's checksum, in PREFIX/PRODUCT/installed-files.
#
# uninstall: removes what that record names and nothing else: a file
# changed since it was installed is kept (and named), and a directory goes
# only when the install created it and it is empty.
#
# Exit status: 0 when done (also when there is nothing to uninstall);
# 1 when something is in the way or cannot be written; 2 for a wrong
# command line.
set -u

me="qxl ${1:-install}"

fail() {
    echo "$me: $*" >&2
    exit 1
}

usage() {
    echo "usage: sh scripts/install.sh install BUILD PREFIX [DESTDIR]" >&2
    echo "       sh scripts/install.sh uninstall PRODUCT PREFIX [DESTDIR]" >&2
    exit 2
}

[ $# -ge 3 ] && [ $# -le 4 ] || usage
action=$1
prefix=$3
destdir=${4:-}
case $prefix in
    /*) ;;
    *) fail "PREFIX must be an absolute path, not '$prefix'" ;;
esac
case $destdir in
    ''|/*) ;;
    *) destdir=$(pwd)/$destdir ;;
esac
# The tree the installation lives in, without a trailing '/'.
root=$(printf '%s%s' "$destdir" "$prefix" | sed 's|/*$||')
[ -n "$root" ] || root=/

# checksum FILE: the file's CRC and size, as cksum prints them.
checksum() {
    cksum <"$1" | awk '{ print $1 "-" $2 }'
}

# What a record line of the manifest names: "f SUM PATH", "l TARGET PATH",
# "d PATH"; paths are relative to the root.

do_install() {
    build=$1
    # Where it goes, first: the first directory that exists on the way to
    # the root must be a directory, and writable when the root is still to
    # be made.
    top=$root
    while [ ! -e "$top" ] && [ ! -L "$top" ]; do top=$(dirname "$top"); done
    [ -d "$top" ] || fail "$top exists and is not a directory"
    [ -e "$root" ] || [ -w "$top" ] || fail "cannot create $root: $top is not writable"
    [ ! -d "$root" ] || [ -w "$root" ] || fail "cannot write into $root"

    [ -f "$build/CMakeCache.txt" ] || fail "no configured build in $build (run make first)"
    product=$(sed -n 's/^QXL_PRODUCT_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
    [ -n "$product" ] || fail "$build/CMakeCache.txt does not name the product directory"

    # Stage the build's install rules in a directory of this run's own.
    work=$(mktemp -d "${TMPDIR:-/tmp}/qxl-install.XXXXXX") || fail "cannot make a staging directory"
    trap 'rm -rf "$work"' EXIT
    stage=$work/stage
    if ! DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$work/log" 2>&1; then
        cat "$work/log" >&2
        fail "the build's install rules failed"
    fi
    staged=$stage$prefix
    [ -d "$staged" ] || fail "nothing was staged in $staged"

    # Check every place before touching anything.
    list=$work/list
    (cd "$staged" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$list"
    problems=0
    while IFS= read -r rel; do
        target=$root/$rel
        if [ -d "$staged/$rel" ] && [ ! -L "$staged/$rel" ]; then
            if [ -e "$target" ] || [ -L "$target" ]; then
                if [ ! -d "$target" ]; then
                    echo "$me: $target exists and is not a directory" >&2
                    problems=$((problems + 1))
                fi
            fi
        elif [ -d "$target" ] && [ ! -L "$target" ]; then
            echo "$me: $target is a directory; a file must go there" >&2
            problems=$((problems + 1))
        fi
    done <"$list"
    [ "$problems" -eq 0 ] || fail "nothing installed"

    # Every existing directory a file goes into must be writable.
    while IFS= read -r rel; do
        dir=$root/$rel
        [ -d "$staged/$rel" ] && [ ! -L "$staged/$rel" ] && [ -d "$dir" ] && [ ! -w "$dir" ] &&
            fail "cannot write into $dir"
    done <"$list"

    manifest=$root/$product/installed-files
    new_manifest=$work/manifest
    : >"$new_manifest"
    # What an earlier install put in place stays ours: the directories it
    # created, and files that this install does not replace.
    if [ -f "$manifest" ]; then
        awk 'NR == FNR { staged[$0] = 1; next }
             $1 == "d" || !(($NF) in staged)' "$list" "$manifest" >>"$new_manifest"
    fi
    finish() {
        # Whatever happened, record what is in place now.
        if [ -d "$root/$product" ]; then
            LC_ALL=C sort -u "$new_manifest" >"$manifest.new" &&
                mv -f "$manifest.new" "$manifest"
        fi
    }

    mkdir -p "$root" || fail "cannot create $root"

    count=0
    while IFS= read -r rel; do
        from=$staged/$rel
        target=$root/$rel
        if [ -d "$from" ] && [ ! -L "$from" ]; then
            if [ ! -d "$target" ]; then
                mkdir "$target" || { finish; fail "cannot create $target"; }
                echo "d $rel" >>"$new_manifest"
            fi
        elif [ -L "$from" ]; then
            link=$(readlink "$from")
            rm -f "$target.qxl-new"
            ln -s "$link" "$target.qxl-new" &&
                mv -f "$target.qxl-new" "$target" ||
                { rm -f "$target.qxl-new"; finish; fail "cannot install $target"; }
            echo "l $link $rel" >>"$new_manifest"
            echo "installed $target -> $link"
            count=$((count + 1))
        else
            cp "$from" "$target.qxl-new" &&
                chmod "$(stat -c %a "$from")" "$target.qxl-new" &&
                mv -f "$target.qxl-new" "$target" ||
                { rm -f "$target.qxl-new"; finish; fail "cannot install $target"; }
            echo "f $(checksum "$target") $rel" >>"$new_manifest"
            echo "installed $target"
            count=$((count + 1))
        fi
    done <"$list"
    finish
    echo "$count files installed under $root; the list is in $manifest"
}

do_uninstall() {
    product=$1
    manifest=$root/$product/installed-files
    if [ ! -f "$manifest" ]; then
        echo "$me: nothing to uninstall: there is no $manifest"
        exit 0
    fi
    [ -w "$root/$product" ] || fail "cannot write into $root/$product"
    kept=0
    removed=0
    while read -r kind a b; do
        case $kind in
            f)
                target=$root/$b
                if [ -L "$target" ] || [ ! -f "$target" ]; then
                    [ -e "$target" ] || [ -L "$target" ] || continue
                    echo "kept $target: not the file that was installed"
                    kept=$((kept + 1))
                elif [ "$(checksum "$target")" = "$a" ]; then
                    rm -f "$target" || fail "cannot remove $target"
                    echo "removed $target"
                    removed=$((removed + 1))
                else
                    echo "kept $target: changed since it was installed"
                    kept=$((kept + 1))
                fi
                ;;
            l)
                target=$root/$b
                if [ -L "$target" ] && [ "$(readlink "$target")" = "$a" ]; then
                    rm -f "$target" || fail "cannot remove $target"
                    echo "removed $target"
                    removed=$((removed + 1))
                elif [ -e "$target" ] || [ -L "$target" ]; then
                    echo "kept $target: not the link that was installed"
                    kept=$((kept + 1))
                fi
                ;;
        esac
    done <"$manifest"
    # Directories, deepest first; only empty ones go.
    # (A directory sorts before everything below it.)
    dirs=$(grep '^d ' "$manifest" | cut -d' ' -f2- | LC_ALL=C sort -r)
    rm -f "$manifest" || fail "cannot remove $manifest"
    echo "$dirs" | while IFS= read -r rel; do
        [ -n "$rel" ] || continue
        dir=$root/$rel
        [ -d "$dir" ] || continue
        if rmdir "$dir" 2>/dev/null; then
            echo "removed $dir/"
        else
            echo "kept $dir/: not empty"
        fi
    done
    if [ "$kept" -eq 0 ]; then
        echo "$removed files removed from $root"
    else
        echo "$removed files removed from $root, $kept kept"
    fi
}

case $action in
    install) do_install "$2" ;;
    uninstall) do_uninstall "$2" ;;
    *) usage ;;
esac
