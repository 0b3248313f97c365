#!/bin/sh
# Installs what building and testing qxl needs, on Debian, when missing.
# Run as root it installs through apt-get; otherwise it names what to install.
set -u

packages=""
want_command() {  # command package
  command -v "$1" >/dev/null 2>&1 || packages="$packages $2"
}
want_package() {  # package
  dpkg -s "$1" >/dev/null 2>&1 || packages="$packages $1"
}

want_command make make
want_command g++ g++
want_command clang++ clang
want_command cmake cmake
want_command ninja ninja-build
want_command pkg-config pkg-config
want_command python3 python3
want_package libgtest-dev
want_package libicu-dev
want_package libclang-rt-dev

[ -z "$packages" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing:$packages"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq $packages >/dev/null || {
    echo "apt-get could not install:$packages" >&2
    exit 1
  }
  exit 0
fi

echo "qxl needs these Debian packages:$packages" >&2
echo "Install them as root with: apt-get install$packages" >&2
exit 1
