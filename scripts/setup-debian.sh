#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs everything the build and the tests need on a fresh Debian 12:
# the compilers and libraries, the tools the tests call, the mingw-w64 and
# Wine of the Windows configuration, and clang with its sanitizer and
# libFuzzer runtimes (libclang-rt-14-dev), clang-format and clang-tidy of
# the clang and lint configurations, bash-completion, which loads the tool's
# bash completion, dpkg-dev and lintian of the package configuration, and
# chromium, chromium-driver and python3-selenium, which drive the page of
# dupfind --ui in the browser tests.
set -eu
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
    g++ cmake make pkg-config binutils \
    libxxhash-dev rapidjson-dev libgtest-dev libcli11-dev \
    python3 python3-pytest xfsprogs btrfs-progs e2fsprogs man-db zsh bash-completion \
    python3-venv python3-pip python3-setuptools python3-wheel python3-mypy \
    g++-mingw-w64-x86-64-posix wine64 googletest bindfs \
    clang libclang-rt-14-dev clang-format clang-tidy git dpkg-dev lintian \
    chromium chromium-driver python3-selenium >/dev/null
