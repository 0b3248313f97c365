#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_TIME seconds, 60 by default), starting from a corpus of the sources
# and bytecode files of the end-to-end cases.  Findings are left in
# build-fuzz/findings/.
set -eu
seconds=${FUZZ_TIME:-60}
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQXL_FUZZ=ON -DQXL_TESTS=OFF >"$dir.log" 2>&1 \
  || { cat "$dir.log"; exit 1; }
cmake --build "$dir" --target fuzz_compile fuzz_disassemble fuzz_qxlrun qxl >>"$dir.log" 2>&1 \
  || { cat "$dir.log"; exit 1; }

# Seed corpora: every text source of the end-to-end cases, and the bytecode
# the compiler makes of them.
sources="$dir/corpus/compile"
bytecode="$dir/corpus/disassemble"
mkdir -p "$sources" "$bytecode" "$dir/findings"
n=0
for case in tests/e2e/*/*.case; do
  awk -v out="$sources/seed" -v n="$n" '
    /^=== file [^ ]*\.q *$/ { name = sprintf("%s-%d-%d.q", out, n, ++k); writing = 1; next }
    /^=== / { writing = 0; next }
    writing { print > name }
  ' "$case"
  n=$((n + 1))
done
for src in "$sources"/seed-*; do
  "$dir/qxl" -n -b -w2 -o "$bytecode/$(basename "$src" .q).b" "$src" >/dev/null 2>&1 || true
done

for target in fuzz_compile fuzz_disassemble fuzz_qxlrun; do
  corpus="$sources"
  [ "$target" != fuzz_compile ] && corpus="$bytecode"
  echo "== $target for ${seconds}s"
  bin="../tests/fuzz/$target"; [ "$target" = fuzz_qxlrun ] && bin="../tools/fuzz_qxlrun"
  (cd "$dir/findings" && "$bin" -max_total_time="$seconds" -max_len=65536 \
     -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 "../corpus/$(basename "$corpus")") \
     2>&1 | grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)" || true
done
ls "$dir/findings" | grep -E "^(crash|leak|timeout|oom)-" && { echo "findings in $dir/findings"; exit 1; }
echo "no findings"
