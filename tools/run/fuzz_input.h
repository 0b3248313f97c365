// The fuzz target's way of turning its input into a run, shared with the
// regression tests so that a finding replays exactly as the target ran it.
//
// Input that starts with the file magic is loaded as a whole bytecode file.
// Any other input is the code of main (its first byte the frame words):
// wrap() puts it into a file beside a helper function h(int), an int
// global g, a 40-byte global buf and two strings, filling in the reference
// table for whatever name operands the code has, so that most inputs get
// past the file checks and reach the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/format.h"
#include "bytecode/instructions.h"
#include "tools/run/machine.h"
#include "tools/run/program.h"

namespace qxl::run::fuzz_input {

using qxl::ByteBuffer;

// Code offsets of the name operands, as many as a reference table holds.
inline std::vector<std::uint16_t> name_operands(const std::vector<std::uint8_t>& code) {
  std::vector<std::uint16_t> out;
  for_each_name_operand(code, [&](std::uint8_t, std::size_t at) {
    if (at <= 0xFFFF && out.size() < 1000)
      out.push_back(static_cast<std::uint16_t>(at));
  });
  return out;
}

inline void function_record(ByteBuffer& out, const std::string& name,
                            std::vector<std::uint8_t> code, int args,
                            int frame,
                            const std::vector<std::uint16_t>& refs) {
  static const char* const names[] = {"g", "h", "buf", "main"};
  qxl::put_u8(out, qxl::record::function);
  qxl::put_name(out, name);
  qxl::put_u32(out, static_cast<std::uint32_t>(code.size() + 4));
  ByteBuffer table, text;
  for (std::size_t i = 0; i < refs.size(); ++i) {
    // Operands the functions call get functions, the others variables.
    const std::uint8_t opcode = refs[i] > 0 ? code[refs[i] - 1] : 0;
    const bool function = opcode == qxl::op::call || opcode == qxl::op::push_function;
    qxl::put_u16(table, refs[i]);
    qxl::put_name(text, names[(function ? 1 : 0) + 2 * (i % 2)]);
  }
  qxl::put_u16(out, static_cast<unsigned>(table.size() + text.size()));
  qxl::put_u16(out, static_cast<unsigned>(refs.size()));
  qxl::put_u16(out, static_cast<unsigned>(args));
  qxl::put_u16(out, static_cast<unsigned>(frame));
  out.insert(out.end(), code.begin(), code.end());
  out.insert(out.end(), table.begin(), table.end());
  out.insert(out.end(), text.begin(), text.end());
}

inline std::vector<std::uint8_t> wrap(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> code(data + 1, data + size);
  code.push_back(qxl::op::return_);
  ByteBuffer pool;
  for (const char16_t* s : {u"%d %s", u"text"}) {
    std::u16string t(s);
    qxl::put_u32(pool, static_cast<std::uint32_t>(2 * t.size() + 2));
    for (char16_t c : t) qxl::put_u16(pool, c);
    qxl::put_u16(pool, 0);
  }
  ByteBuffer debug;
  qxl::put_u32(debug, 4);
  for (char c : std::string("f.q")) qxl::put_u8(debug, static_cast<unsigned char>(c));
  qxl::put_u8(debug, 0);

  ByteBuffer out;
  qxl::put_u32(out, qxl::bytecode_magic);
  qxl::put_u32(out, qxl::bytecode_version);
  qxl::put_u32(out, static_cast<std::uint32_t>(pool.size()));
  qxl::put_u32(out, static_cast<std::uint32_t>(debug.size()));
  for (const auto& [name, bytes] :
       {std::pair<std::string, std::uint32_t>{"g", 4}, {"buf", 40}}) {
    qxl::put_u8(out, qxl::record::variable);
    qxl::put_u8(out, qxl::attribute::class_int);
    qxl::put_name(out, name);
    qxl::put_name(out, bytes == 4 ? "I" : "[20C]");
    qxl::put_u32(out, bytes);
  }
  function_record(out, "h",
                  {qxl::op::load_local, 0xFC, qxl::op::push_i8, 1, qxl::op::add,
                   qxl::op::return_value, qxl::op::return_},
                  1, 0, {});
  function_record(out, "main", code, 0, data[0] & 15, name_operands(code));
  qxl::put_u8(out, qxl::record::end);
  out.insert(out.end(), pool.begin(), pool.end());
  out.insert(out.end(), debug.begin(), debug.end());
  return out;
}

// Loads, links and runs one input with the target's limits; no value when
// the file checks or the linker refuse it.
inline std::optional<Outcome> run_input(const std::uint8_t* data,
                                        std::size_t size) {
  if (size == 0) return std::nullopt;
  std::vector<std::uint8_t> file;
  if (size >= 4 && data[0] == 'Q' && data[1] == 'X' && data[2] == 'L')
    file.assign(data, data + size);
  else
    file = wrap(data, size);
  Program program;
  if (load_file(program, "f.b", file)) return std::nullopt;
  if (link(program)) return std::nullopt;
  Options options;
  options.max_steps = 20000;
  options.stack_words = 4096;
  options.max_depth = 200;
  // Memory within a small share of what the fuzzer allows a run, which the
  // sanitizer's own use of memory multiplies.
  options.limits.block = std::int64_t{1} << 24;
  options.limits.heap = std::int64_t{1} << 26;
  options.limits.buffer_characters = std::size_t{1} << 23;
  options.limits.globals = std::uint64_t{1} << 26;
  Output quiet;
  quiet.out = [](std::string_view) {};
  quiet.err = [](std::string_view) {};
  return run(program, options, quiet);
}

}  // namespace qxl::run::fuzz_input
