// Helpers for the qxlrun unit tests: bytecode files built by hand, QXL
// programs compiled in-process, and runs with their output captured.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bytecode/format.h"
#include "bytecode/instructions.h"
#include "test_support.h"
#include "tools/run/machine.h"
#include "tools/run/program.h"

namespace qxl::test {

struct HandFunction {
  std::string name;
  std::vector<std::uint8_t> code;  // must end with OP_RETURN
  int argument_words = 0;
  int frame_words = 0;
  // Name references: the code offset of the two placeholder bytes, and
  // the name as the file stores it.
  std::vector<std::pair<std::uint16_t, std::string>> references;
};

struct HandGlobal {
  std::string name;
  std::string type = "I";
  std::uint32_t size = 4;
  std::optional<std::vector<std::uint8_t>> data;  // initialized when set
  std::uint8_t kind = 0;  // 0: 19 or 20 by data; else the record kind
};

struct HandFile {
  std::vector<HandFunction> functions;
  std::vector<HandGlobal> globals;
  std::vector<std::u16string> strings;  // pool entries, in order
  std::vector<std::string> debug_names;
};

// Offset of string n in the pool that bytes() writes.
inline std::uint32_t pool_offset(const HandFile& f, std::size_t n) {
  std::uint32_t at = 0;
  for (std::size_t i = 0; i < n; ++i)
    at += 4 + 2 * static_cast<std::uint32_t>(f.strings[i].size()) + 2;
  return at;
}

inline std::vector<std::uint8_t> bytes(const HandFile& f) {
  ByteBuffer out;
  ByteBuffer pool, debug;
  for (const std::u16string& s : f.strings) {
    put_u32(pool, 2 * static_cast<std::uint32_t>(s.size()) + 2);
    for (char16_t c : s) put_u16(pool, c);
    put_u16(pool, 0);
  }
  for (const std::string& n : f.debug_names) {
    put_u32(debug, static_cast<std::uint32_t>(n.size()) + 1);
    for (char c : n) put_u8(debug, static_cast<unsigned char>(c));
    put_u8(debug, 0);
  }
  put_u32(out, bytecode_magic);
  put_u32(out, bytecode_version);
  put_u32(out, static_cast<std::uint32_t>(pool.size()));
  put_u32(out, static_cast<std::uint32_t>(debug.size()));
  for (const HandGlobal& g : f.globals) {
    const std::uint8_t kind =
        g.kind != 0 ? g.kind
                    : g.data ? record::initialized_variable : record::variable;
    put_u8(out, kind);
    put_u8(out, attribute::class_int);
    put_name(out, g.name);
    put_name(out, g.type);
    put_u32(out, g.size);
    if (g.data) out.insert(out.end(), g.data->begin(), g.data->end());
  }
  for (const HandFunction& fn : f.functions) {
    put_u8(out, record::function);
    put_name(out, fn.name);
    put_u32(out, static_cast<std::uint32_t>(fn.code.size()) + 4);
    std::size_t names = 0;
    for (const auto& r : fn.references) names += r.second.size() + 1;
    put_u16(out, static_cast<unsigned>(2 * fn.references.size() + names));
    put_u16(out, static_cast<unsigned>(fn.references.size()));
    put_u16(out, static_cast<unsigned>(fn.argument_words));
    put_u16(out, static_cast<unsigned>(fn.frame_words));
    out.insert(out.end(), fn.code.begin(), fn.code.end());
    for (const auto& r : fn.references) put_u16(out, r.first);
    for (const auto& r : fn.references) put_name(out, r.second);
  }
  put_u8(out, record::end);
  out.insert(out.end(), pool.begin(), pool.end());
  out.insert(out.end(), debug.begin(), debug.end());
  return out;
}

// Code pieces.
inline void add_i32(std::vector<std::uint8_t>& c, std::int32_t v) {
  for (int i = 0; i < 4; ++i)
    c.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
}
inline std::vector<std::uint8_t> push_i32(std::int32_t v) {
  std::vector<std::uint8_t> c{op::push_i32};
  add_i32(c, v);
  return c;
}
inline std::vector<std::uint8_t> join(
    std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct RunOutput {
  std::optional<std::string> load_error;
  run::Outcome outcome;
  std::string out;
  std::string err;
};

inline RunOutput run_files(const std::vector<std::vector<std::uint8_t>>& files,
                           run::Options options = {}) {
  RunOutput r;
  run::Program program;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string name = std::string("f").append(std::to_string(i)).append(".b");
    r.load_error = run::load_file(program, name, files[i]);
    if (r.load_error) return r;
  }
  r.load_error = run::link(program);
  if (r.load_error) return r;
  run::Output output;
  output.out = [&r](std::string_view s) { r.out.append(s); };
  output.err = [&r](std::string_view s) { r.err.append(s); };
  if (options.max_steps == 0) options.max_steps = 10000000;
  r.outcome = run::run(program, options, output);
  return r;
}

// main() returning the value its code leaves, for one-function programs.
inline RunOutput run_code(std::vector<std::uint8_t> code, int frame_words = 0) {
  code.push_back(op::return_value);
  code.push_back(op::return_);
  HandFile f;
  f.functions.push_back({"main", code, 0, frame_words, {}});
  return run_files({bytes(f)});
}

// Compiles QXL sources in-process (file names a.q, b.q, ...) and runs them.
inline RunOutput run_source(const std::vector<std::string>& sources,
                            run::Options options = {}) {
  ScratchDir dir;
  std::vector<std::vector<std::uint8_t>> files;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const std::string name(1, static_cast<char>('a' + i));
    dir.write(name + ".q", sources[i]);
    const RunResult compiled = run_compiler({"-n", "-b", "-q", name + ".q"});
    if (compiled.status != 0) {
      RunOutput r;
      r.load_error = "compile failed: " + compiled.console;
      return r;
    }
    const std::string b = dir.read(name + ".b");
    files.emplace_back(b.begin(), b.end());
  }
  return run_files(files, std::move(options));
}

}  // namespace qxl::test
