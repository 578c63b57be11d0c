#!/bin/sh
# run-frame-fuzz.sh <source root> <work folder> [seconds]: the frame parser fuzzed natively (exit 77: no clang-14)
set -e
root=$1
work=$2
bin=$work/frame_parser_fuzz
command -v clang++-14 >/dev/null 2>&1 || { echo "clang++-14 not installed: skipped"; exit 77; }
mkdir -p "$work/corpus"
src="$root/tests/ipc/fuzz/FrameParserFuzz.cpp $root/standins/Pipelink/src/PipelinkWire.cpp"
[ -z "$(find $src "$root/standins/Pipelink/include/PipelinkWire.h" -newer "$bin" 2>/dev/null)" ] && [ -x "$bin" ] ||
  clang++-14 -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/standins/Pipelink/include" $src -o "$bin"
# A valid frame as the first seed, so that mutations start inside the format.
printf 'FDPL\002\000\002\000\075\000\000\000\000\000\360\000\000\000\361\000\003\000\361\000\377\377\377\377\376\377\377\377\375\377\377\377\007\000\000\000\011\000\000\000\001\001\000\000\002\000\000\000\003\000\000\000hdhi\000' \
  > "$work/corpus/seed-valid"
exec "$bin" -seed=1 -artifact_prefix="$work/" -max_total_time="${3:-${FERRYDOCK_FRAME_FUZZ_SECONDS:-1}}" -max_len=8192 "$work/corpus"
