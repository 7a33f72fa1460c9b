#!/usr/bin/env bash
# Builds the fuzz targets (the readers, and the engine's in-memory gzip input) with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# then fuzzes each for the given number of seconds (default 60), starting from the seeds and
# the kept regression inputs; then the same for the atheris harnesses of the Python package
# (tar archives, input expansion, the text writers). The growing corpus lives in
# build/fuzz/corpus, outside git. A crash, leak or time-out leaves its input in build/fuzz/ and
# fails the script; keep such an input in fuzz/regressions/<folder>/ once it is fixed, so the
# C++ tests (or, for a Python harness, tests/python/test_fuzz_regressions.py) replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

if ! command -v clang++ >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq clang >/dev/null
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DTARNIX_BUILD_PYTHON=OFF -DTARNIX_BUILD_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build build/fuzz -j 2 --target pdb_reader_fuzz mmcif_reader_fuzz bcif_reader_fuzz gzip_input_fuzz

for target in pdb:pdb_reader mmcif:mmcif_reader bcif:bcif_reader gzip_input:gzip_input; do
  folder=${target%%:*}
  corpus=build/fuzz/corpus/$folder
  mkdir -p "$corpus" fuzz/regressions/$folder
  # A format's dictionary, when it has one, names the tokens its reader looks for.
  dict=()
  if [ -f fuzz/$folder.dict ]; then dict=(-dict="../../fuzz/$folder.dict"); fi
  (cd build/fuzz && ASAN_OPTIONS=detect_leaks=1 ./${target#*:}_fuzz \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" "$@" \
    "corpus/$folder" "../../fuzz/seeds/$folder" "../../fuzz/regressions/$folder")
done

# The Python harnesses need atheris, pandas (tables the BinaryCIF text harness converts) and the
# package installed beside them.
python=${PYTHON:-python3}
if ! "$python" -c "import atheris, numpy, pandas, tarnix_tools" 2>/dev/null; then
  "$python" -m venv build/fuzz/venv
  python=$(pwd)/build/fuzz/venv/bin/python
  "$python" -m pip install -q --upgrade pip
  "$python" -m pip install -q atheris numpy pandas .
fi
for target in tar:tar_reader inputs:input_expansion writers:writers bcif_text:bcif_text; do
  folder=${target%%:*}
  corpus=build/fuzz/corpus/$folder
  mkdir -p "$corpus" fuzz/regressions/$folder
  (cd build/fuzz && "$python" ../../fuzz/${target#*:}_fuzz.py \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$@" \
    "corpus/$folder" "../../fuzz/seeds/$folder" "../../fuzz/regressions/$folder")
done
