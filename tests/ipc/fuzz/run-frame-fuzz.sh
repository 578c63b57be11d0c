#!/bin/sh
# Builds the frame parser natively with clang, libFuzzer and AddressSanitizer and fuzzes
# it for a bounded time. Usage: run-frame-fuzz.sh <source root> <work folder> [seconds]
# Exit 77 (skipped) when Debian's clang-14 is not installed.
set -e
root=$1
work=$2
seconds=${3:-${FERRYDOCK_FRAME_FUZZ_SECONDS:-3}}
command -v clang++-14 >/dev/null 2>&1 || { echo "clang++-14 not installed: skipped"; exit 77; }
mkdir -p "$work/corpus"
clang++-14 -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/standins/Pipelink/include" "$root/tests/ipc/fuzz/FrameParserFuzz.cpp" \
  "$root/standins/Pipelink/src/PipelinkWire.cpp" -o "$work/frame_parser_fuzz"
# A valid frame as the first seed, so that mutations start inside the format.
printf 'FDPL\002\000\002\000\075\000\000\000\000\000\360\000\000\000\361\000\003\000\361\000\377\377\377\377\376\377\377\377\375\377\377\377\007\000\000\000\011\000\000\000\001\001\000\000\002\000\000\000\003\000\000\000hdhi\000' \
  > "$work/corpus/seed-valid"
exec "$work/frame_parser_fuzz" -seed=1 -artifact_prefix="$work/" -max_total_time="$seconds" -max_len=8192 "$work/corpus"
