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
./build/cpp/tarnix_tests --gtest_brief=1

python3 -m pytest -q tests/python
