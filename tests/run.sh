#!/usr/bin/env bash
# Installs tarnix with its test extras into the active Python (use a virtual environment),
# then runs the C++ unit tests and the Python test suite. Installs GoogleTest first when it is
# missing and this runs as root; otherwise says what to install.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tests/need_libraries.sh
python3 -m pip install -q ".[test]"

cmake -S . -B build/cpp -DTARNIX_BUILD_PYTHON=OFF -DTARNIX_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp -j 2
# A hung worker pool fails the run instead of hanging it (pytest has a per-test limit too).
timeout -k 30 1800 ./build/cpp/tarnix_tests --gtest_brief=1

timeout -k 30 3600 python3 -m pytest -q tests/python
