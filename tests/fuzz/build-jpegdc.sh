#!/bin/sh
# Builds the libFuzzer target for the eighth-size JPEG DC decoder (clang, with
# AddressSanitizer and UndefinedBehaviorSanitizer), with a seed corpus of small JPEGs of
# each kind it reads (ImageMagick). Not part of the CMake build.
#   tests/fuzz/build-jpegdc.sh [OUTPUT_FOLDER]      (default: build/fuzz)
# Run it with, for example:
#   build/fuzz/fuzz_jpegdc -max_total_time=120 -max_len=65536 build/fuzz/corpus-jpegdc
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$root/build/fuzz}
mkdir -p "$out" "$out/corpus-jpegdc"
seeds=$out/corpus-jpegdc
convert -seed 1 -size 48x40 plasma:fractal -quality 90 "$seeds/seed-444.jpg"
convert -seed 2 -size 37x29 plasma:fractal -quality 80 -sampling-factor 2x2 "$seeds/seed-420-odd.jpg"
convert -seed 3 -size 64x16 plasma:fractal -quality 95 -sampling-factor 2x1 "$seeds/seed-422.jpg"
convert -seed 4 -size 40x40 plasma:fractal -colorspace Gray -quality 85 "$seeds/seed-grey.jpg"
${CXX:-clang++} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" \
  "$root/tests/fuzz/fuzz_jpegdc.cpp" "$root/src/formats/jpegdc.cpp" \
  -o "$out/fuzz_jpegdc"
echo "$out/fuzz_jpegdc"
