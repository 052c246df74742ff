#!/bin/sh
# Builds the libFuzzer target for the object tree parser (clang, with AddressSanitizer
# and UndefinedBehaviorSanitizer). Not part of the CMake build.
#   tests/fuzz/build-objtree.sh [OUTPUT_FOLDER]      (default: build/fuzz)
# Run it with, for example:
#   build/fuzz/fuzz_objtree -max_total_time=120 -max_len=65536 build/fuzz/corpus-objtree
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$root/build/fuzz}
mkdir -p "$out" "$out/corpus-objtree"
CXX=${CXX:-clang++}
# Seeds: a small update-index-like document and the grammar's odd corners.
printf "<?xml version='1.0'?>\r\n<UPDATE name='u' op='1=a;2=b=c;'><FILE guid='{G}' type='3'>text</FILE></UPDATE>" >"$out/corpus-objtree/seed-index"
printf '<A><B>b</C><D/></B></A><!-- c -->tail' >"$out/corpus-objtree/seed-odd"
# shellcheck disable=SC2046
$CXX -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" $(pkg-config --cflags Qt6Core) \
    "$root/tests/fuzz/fuzz_objtree.cpp" \
    "$root/src/app/cobjnode.cpp" "$root/src/app/cstringtokenizer.cpp" "$root/src/app/cfilepath.cpp" \
    "$root/src/jobs/cobj.cpp" \
    $(pkg-config --libs Qt6Core) -o "$out/fuzz_objtree"
echo "built $out/fuzz_objtree"
