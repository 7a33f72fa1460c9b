#!/usr/bin/env bash
# Installs tarnix with its test extras into the active Python, then runs the C++ unit tests
# and the Python test suite. Needs GoogleTest headers (Debian: libgtest-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install -q ".[test]"

cmake -S . -B build/cpp -DTARNIX_BUILD_PYTHON=OFF -DTARNIX_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp -j 2
./build/cpp/tarnix_tests --gtest_brief=1

python3 -m pytest -q tests/python
