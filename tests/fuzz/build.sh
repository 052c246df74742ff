#!/bin/sh
# Builds the libFuzzer target for the signature tests (clang with libFuzzer, ASan, UBSan).
# Usage: tests/fuzz/build.sh [OUTPUT_DIR]; then run, for example,
#   OUTPUT_DIR/fuzz_signatures -max_total_time=120 -max_len=2048 CORPUS_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-$root/build/fuzz}
mkdir -p "$out"
${CXX:-clang++} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" \
  "$here/fuzz_signatures.cpp" "$root/src/recovery/signatures.cpp" "$root/src/app/filetypes.cpp" \
  -o "$out/fuzz_signatures"
echo "$out/fuzz_signatures"
