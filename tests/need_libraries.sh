#!/usr/bin/env bash
# Makes sure CMake finds the libraries the build and the C++ tests need (zlib, GoogleTest, the
# header-only MessagePack library msgpack-cxx) and the faster gzip decoder (libdeflate): installs
# them with apt-get when running as root, otherwise says in one line what to install.
set -euo pipefail
if ! command -v cmake >/dev/null; then
  echo "tests need CMake 3.18 or newer on PATH (Debian: apt-get install cmake)" >&2
  exit 1
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'cmake_minimum_required(VERSION 3.18)\nproject(probe CXX)\nfind_package(ZLIB REQUIRED)\nfind_package(GTest REQUIRED)\nfind_path(D libdeflate.h REQUIRED)\nfind_library(L deflate REQUIRED)\nfind_path(M msgpack.hpp REQUIRED)\n' \
  >"$probe/CMakeLists.txt"
found() { rm -rf "$probe/build" && cmake -S "$probe" -B "$probe/build" >/dev/null 2>&1; }
found && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "zlib, GoogleTest, libdeflate or msgpack-cxx not found: installing zlib1g-dev, libgtest-dev, libdeflate-dev and libmsgpack-cxx-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq zlib1g-dev libgtest-dev libdeflate-dev libmsgpack-cxx-dev >/dev/null
  found && exit 0
fi
echo "tests need zlib, GoogleTest, libdeflate and msgpack-cxx where CMake finds them: run 'sudo apt-get install zlib1g-dev libgtest-dev libdeflate-dev libmsgpack-cxx-dev' (Debian, Ubuntu), then again" >&2
exit 1
