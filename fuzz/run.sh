#!/usr/bin/env bash
# Builds the model-file reader's fuzz target with clang and libFuzzer (plus AddressSanitizer and
# UndefinedBehaviorSanitizer), seeds it with a valid file of every family from the test writer, and runs it
# for the given number of seconds (default 60). A crash, a hang or a leak fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build/fuzz
mkdir -p "$out/seeds" "$out/corpus"

flags=(-std=c++17 -O1 -g -Isrc -Iinclude -Itests)
clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  src/cuda_backend/model_file_reader.cpp src/cuda_backend/host_model_parameters.cpp \
  fuzz/model_file_reader_fuzz.cpp -o "$out/model_file_reader_fuzz"
clang++ "${flags[@]}" tests/support/model_file_writer.cpp fuzz/write_seed_corpus.cpp -o "$out/write_seed_corpus"
"$out/write_seed_corpus" "$out/seeds"

# New inputs go to corpus/; the seeds stay as written. Limits: 10 s per input, 2 GiB of memory.
"$out/model_file_reader_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
  -print_final_stats=1 "$out/corpus" "$out/seeds"
