#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_TIME seconds, 60 by default), starting from a corpus of the sources
# and bytecode files of the end-to-end cases, and of language-server
# messages for the message layer (the server's questions start from the
# sources).  Findings are left in build-fuzz/findings/.
set -eu
seconds=${FUZZ_TIME:-60}
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQXL_FUZZ=ON -DQXL_TESTS=OFF >"$dir.log" 2>&1 \
  || { cat "$dir.log"; exit 1; }
cmake --build "$dir" --target fuzz_compile fuzz_disassemble fuzz_qxlrun fuzz_lsp fuzz_lsp_server qxl >>"$dir.log" 2>&1 \
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

# Language-server messages, framed as a client sends them.  The first byte
# of each seed is the fuzz target's own choice (the size of the pieces the
# stream is read in), here a plain letter.
messages="$dir/corpus/lsp"
mkdir -p "$messages"
framed() { printf 'Content-Length: %d\r\n\r\n%s' "${#1}" "$1"; }
uri='file:///tmp/a%20b/caf%C3%A9.q'
open='{"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":{"uri":"'$uri'","languageId":"qxl","version":1,"text":"int x;\r\nchar *s = \"\u00e9\u4e2d\ud83d\ude00\";\n"}}}'
change='{"jsonrpc":"2.0","method":"textDocument/didChange","params":{"textDocument":{"uri":"'$uri'","version":2},"contentChanges":[{"range":{"start":{"line":1,"character":11},"end":{"line":1,"character":13}},"text":"\ufeffy\n"},{"text":"\ufeffint y;\n"}]}}'
{ printf A; framed '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"processId":null,"rootUri":null,"capabilities":{}}}'; } >"$messages/initialize"
{ printf H; framed "$open"; framed "$change"; } >"$messages/open-change"
{ printf C; printf 'content-length: 73\r\nContent-Type: application/vscode-jsonrpc; charset=utf-8\r\n\r\n'
  printf '{"jsonrpc":"2.0","id":"h","method":"textDocument/hover","params":[1,2.5]}'; } >"$messages/headers"
{ printf Q; framed '{"jsonrpc":"2.0","id":7,"result":{"applied":true}}'
  framed '{"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"x"}}'
  framed '[{"jsonrpc":"2.0","method":"exit"}]'; framed '{"jsonrpc":"1.0","id":[],"method":5}'; } >"$messages/replies"
{ printf B; printf 'Content-Length: 9\r\n{"a":1}\r\nContent-Length: 3\r\n\r\n{}'; } >"$messages/bad-header"

for target in fuzz_compile fuzz_disassemble fuzz_qxlrun fuzz_lsp fuzz_lsp_server; do
  corpus="$sources"
  [ "$target" != fuzz_compile ] && [ "$target" != fuzz_lsp_server ] && corpus="$bytecode"
  [ "$target" = fuzz_lsp ] && corpus="$messages"
  echo "== $target for ${seconds}s"
  bin="../tests/fuzz/$target"
  case "$target" in fuzz_qxlrun | fuzz_lsp*) bin="../tools/$target" ;; esac
  (cd "$dir/findings" && "$bin" -max_total_time="$seconds" -max_len=65536 \
     -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 "../corpus/$(basename "$corpus")") \
     2>&1 | grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)" || true
done
ls "$dir/findings" | grep -E "^(crash|leak|timeout|oom)-" && { echo "findings in $dir/findings"; exit 1; }
echo "no findings"
