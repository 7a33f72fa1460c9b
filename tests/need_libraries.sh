#!/usr/bin/env bash
# Makes sure CMake finds what the tests need beyond the build's own zlib: GoogleTest for the C++
# tests, and libdeflate, the faster gzip decoder that the wheel and most builds use (the build
# itself does without it). Installs them with apt-get when running as root, otherwise says in one
# line what to install.
set -euo pipefail
if ! command -v cmake >/dev/null; then
  echo "tests need CMake 3.18 or newer on PATH (Debian: apt-get install cmake)" >&2
  exit 1
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'cmake_minimum_required(VERSION 3.18)\nproject(probe CXX)\nfind_package(ZLIB REQUIRED)\nfind_package(GTest REQUIRED)\nfind_path(D libdeflate.h REQUIRED)\nfind_library(L deflate REQUIRED)\n' \
  >"$probe/CMakeLists.txt"
found() { rm -rf "$probe/build" && cmake -S "$probe" -B "$probe/build" >/dev/null 2>&1; }
found && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "zlib, GoogleTest or libdeflate not found: installing zlib1g-dev, libgtest-dev and libdeflate-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq zlib1g-dev libgtest-dev libdeflate-dev >/dev/null
  found && exit 0
fi
echo "tests need zlib, GoogleTest and libdeflate where CMake finds them: run 'sudo apt-get install zlib1g-dev libgtest-dev libdeflate-dev' (Debian, Ubuntu), then again" >&2
exit 1
