#!/usr/bin/env bash
# The README's first command on a machine that has only what the README names (Python with venv,
# a C++20 compiler, CMake, zlib's headers): from a clean clone of the committed tree, with
# libdeflate, GoogleTest and msgpack-cxx hidden from the compiler and CMake, installs tarnix with
# `pip install .`, runs the quickstart example, and reads BinaryCIF files made here against their
# mmCIF twins; then installs the source distribution the same way.
#
# The libraries are hidden, not removed: in a private mount namespace, overlays over the system's
# include and library folders delete them for this script alone. Needs root (unshare, mount).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
if [ "${TARNIX_BARE_NAMESPACE:-}" != 1 ]; then
  exec unshare --mount --propagation private env TARNIX_BARE_NAMESPACE=1 bash "$0" "$@"
fi
work="$repo/build/bare"
rm -rf "$work"
mkdir -p "$work"

# Folder, then globs of its entries to hide.
hide() {
  local folder=$1 layer
  shift
  [ -d "$folder" ] || return 0
  layer="$work/layers$folder"
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$folder,upperdir=$layer/upper,workdir=$layer/work" "$folder"
  (cd "$folder" && shopt -s nullglob && for entry in $*; do rm -rf "./$entry"; done)
}
lib=/usr/lib/$(gcc -print-multiarch)
hide /usr/include 'msgpack*' libdeflate.h gtest gmock
# The development files only: a runtime libdeflate.so.0 may be there for other programs.
hide "$lib" libdeflate.so libdeflate.a 'libgtest*' 'libgmock*' cmake/GTest 'cmake/msgpack*'
hide /usr/src googletest gtest gmock
hide /usr/local/include 'msgpack*' libdeflate.h gtest gmock
hide /usr/local/lib 'libdeflate*' 'libgtest*' 'libgmock*' 'cmake/GTest' 'cmake/msgpack*'

# The hiding must hold: neither CMake nor the compiler may find any of them.
probe="$work/probe"
mkdir -p "$probe"
printf 'cmake_minimum_required(VERSION 3.18)\nproject(probe CXX)\nfind_package(GTest QUIET)\nfind_path(M msgpack.hpp)\nfind_path(D libdeflate.h)\nfind_library(L deflate)\nmessage(STATUS "seen: ${GTest_FOUND}|${M}|${D}|${L}")\n' >"$probe/CMakeLists.txt"
seen=$(cmake -S "$probe" -B "$probe/build" 2>&1 | sed -n 's/.*seen: //p')
if ! [[ "$seen" =~ ^(0|FALSE|)\|M-NOTFOUND\|D-NOTFOUND\|L-NOTFOUND$ ]]; then
  echo "bare_build.sh: CMake still finds a hidden library: $seen" >&2
  exit 1
fi
for header in msgpack.hpp libdeflate.h gtest/gtest.h; do
  if echo "#include <$header>" | g++ -x c++ -fsyntax-only - 2>/dev/null; then
    echo "bare_build.sh: the compiler still finds $header" >&2
    exit 1
  fi
done

git clone -q --no-hardlinks "$repo" "$work/clone"
cd "$work/clone"
export CMAKE_BUILD_PARALLEL_LEVEL=2
# The README's first command, as it stands.
python3 -m venv .venv && . .venv/bin/activate && pip install -q . && python examples/quickstart.py >"$work/quickstart.txt"
grep -q "8-state" "$work/quickstart.txt" || { cat "$work/quickstart.txt"; exit 1; }
python -m pip install -q biotite
# BinaryCIF made here from the test data's mmCIF files, each encoding plan, equal to the text.
(cd "$work" && python - "$work/clone/tests/python" "$work/clone/tests/data" <<'PY'
import pathlib, sys
import numpy as np
import tarnix, tarnix_tools
sys.path.insert(0, sys.argv[1])
from bcif_writer import PLANS, from_mmcif
assert pathlib.Path(tarnix.__file__).is_relative_to(sys.prefix), tarnix.__file__
for path in sorted(pathlib.Path(sys.argv[2]).glob("*.cif")):
    text = path.read_bytes()
    for plan in PLANS:
        got, expected = (tarnix_tools.annotate([(name, data)], threads=1)
                         for name, data in ((path.stem + ".bcif", from_mmcif(text.decode(), plan)), (path.name, text)))
        assert got.structures.columns["status"][0] == "ok", (path.name, plan, got.structures.columns["error"][0])
        for table in ("structures", "residues"):
            a, b = getattr(got, table).columns, getattr(expected, table).columns
            for column in a:
                if column not in ("name", "seconds"):
                    x, y = np.asarray(a[column]), np.asarray(b[column])
                    same = x.tobytes() == y.tobytes() if x.dtype.kind == "f" else (x == y).all()
                    assert x.dtype == y.dtype and x.shape == y.shape and same, (path.name, plan, table, column)
    print("BinaryCIF equal to mmCIF:", path.name)
PY
)
deactivate

# The source distribution installs on the same machine.
python3 -m venv "$work/sdist-env"
"$work/sdist-env/bin/python" -m pip install -q build
"$work/sdist-env/bin/python" -m build -q --sdist -o "$work/sdist" .
"$work/sdist-env/bin/python" -m pip install -q "$work"/sdist/tarnix-*.tar.gz
(cd "$work" && "$work/sdist-env/bin/python" "$work/clone/examples/quickstart.py" | grep -q "8-state")
echo "bare build: installed from a clean clone and from the sdist with libdeflate, GoogleTest and msgpack-cxx hidden"
