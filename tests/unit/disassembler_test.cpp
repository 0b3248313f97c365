#include "tools/disassembler.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bytecode/format.h"
#include "bytecode/instructions.h"

namespace qxl {
namespace {

ByteBuffer operator+(ByteBuffer a, const ByteBuffer& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ByteBuffer text_bytes(std::string_view text, bool terminated = true) {
  ByteBuffer out(text.begin(), text.end());
  if (terminated) out.push_back(0);
  return out;
}

ByteBuffer units(std::u16string_view text) {
  ByteBuffer out;
  for (char16_t c : text) put_u16(out, c);
  return out;
}

// The code of one function, with the reference table its name references
// need.
struct Code {
  ByteBuffer bytes;
  std::vector<std::pair<unsigned, std::string>> refs;  // code offset, name

  Code& b(std::initializer_list<unsigned> values) {
    for (unsigned v : values) put_u8(bytes, v);
    return *this;
  }
  Code& raw(const ByteBuffer& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
  Code& u16(unsigned v) {
    put_u16(bytes, v);
    return *this;
  }
  Code& u32(std::uint32_t v) {
    put_u32(bytes, v);
    return *this;
  }
  Code& ref(std::string name) {
    refs.emplace_back(static_cast<unsigned>(bytes.size()), std::move(name));
    return u16(0);
  }
  // A rel16 written here that reaches `target`.
  Code& to(unsigned target) {
    return u16(target - static_cast<unsigned>(bytes.size() + 2));
  }
};

ByteBuffer function_record(std::uint8_t kind, std::string_view name,
                           const Code& code, unsigned arguments = 0,
                           unsigned frame = 0) {
  ByteBuffer names, out{kind};
  for (const auto& [offset, ref_name] : code.refs) put_name(names, ref_name);
  put_name(out, name);
  put_u32(out, static_cast<std::uint32_t>(code.bytes.size() + 4));
  put_u16(out, static_cast<unsigned>(2 * code.refs.size() + names.size()));
  put_u16(out, static_cast<unsigned>(code.refs.size()));
  put_u16(out, arguments);
  put_u16(out, frame);
  out = out + code.bytes;
  for (const auto& [offset, ref_name] : code.refs) put_u16(out, offset);
  return out + names;
}

ByteBuffer variable_record(std::uint8_t kind, unsigned attributes,
                           std::string_view name, std::string_view type,
                           std::uint32_t size, const ByteBuffer& data = {}) {
  ByteBuffer out{kind, static_cast<std::uint8_t>(attributes)};
  put_name(out, name);
  out = out + text_bytes(type);
  put_u32(out, size);
  return out + data;
}

ByteBuffer small_record(std::uint8_t kind,
                        std::initializer_list<std::uint32_t> u16s,
                        std::initializer_list<std::uint32_t> u32s) {
  ByteBuffer out{kind};
  for (auto v : u16s) put_u16(out, v);
  for (auto v : u32s) put_u32(out, v);
  return out;
}

ByteBuffer key_binding(std::uint8_t table, std::uint32_t key) {
  ByteBuffer out{record::key_binding, table};
  put_u32(out, key);
  return out;
}

ByteBuffer pool_entry(std::u16string_view text) {
  ByteBuffer out;
  put_u32(out, static_cast<std::uint32_t>(2 * text.size() + 2));
  return out + units(text) + ByteBuffer{0, 0};
}

ByteBuffer debug_entry(std::string_view name) {
  ByteBuffer out;
  put_u32(out, static_cast<std::uint32_t>(name.size() + 1));
  return out + text_bytes(name);
}

ByteBuffer bytecode_file(const ByteBuffer& records, const ByteBuffer& pool = {},
                         const ByteBuffer& debug = {}) {
  ByteBuffer out;
  for (std::size_t word :
       {std::size_t{bytecode_magic}, std::size_t{bytecode_version}, pool.size(),
        debug.size()})
    put_u32(out, static_cast<std::uint32_t>(word));
  return out + records + ByteBuffer{record::end} + pool + debug;
}

std::optional<PrimitiveInfo> test_primitives(int number) {
  if (number == 130) return PrimitiveInfo{"insert", false};
  if (number == 131) return PrimitiveInfo{"message", true};
  if (number == 517) return PrimitiveInfo{"widen", true};
  return std::nullopt;
}

std::string listing_of(const ByteBuffer& file,
                       PrimitiveLookup lookup = test_primitives) {
  const Disassembly result = disassemble(file, {lookup});
  if (result.error)
    ADD_FAILURE() << "offset " << result.error->offset << ": "
                  << result.error->message;
  return result.listing;
}

// A file with every record kind and every kind of operand.
ByteBuffer rich_file() {
  Code code;
  code.b({op::debug_file}).u32(0).b({op::debug_line}).u16(3);  // 0, 5
  code.b({op::push_string}).u32(0);                            // 8
  code.b({op::call}).ref("show_it").b({call_byte(1, true)});   // 13
  code.b({op::jump_if_false}).to(32);                          // 17
  code.b({op::switch_}).u16(1).u16(8 - 29).u32(-7);  // 20, table ends at 29
  code.b({op::switch_, 0, 0});                       // 29
  code.b({op::save_var, 0x21, 4, op::store_global_2})
      .ref("mode")
      .b({op::end_handler});                               // 32
  code.b({op::load_local_narrow, narrow::char_value, 3});  // 39
  code.b({op::store_local_narrow, narrow::short_value | narrow::wide_offset})
      .u16(200);                                             // 42
  code.b({op::inc_local, 1, inc_mode::value_before, 0xFB});  // 46
  code.b({op::primitive_ext, 5, call_byte(2, false), 131, call_byte(0, true),
          130});                                                      // 50
  code.b({op::push_color_class}).raw(text_bytes("status-line\x01"));  // 56
  code.b({op::jump}).to(0).b({op::return_});                          // 70, 73
  ByteBuffer greeting = units(u"Hello");
  greeting.resize(20);
  return bytecode_file(
      function_record(record::command, "rich", code, 1, 2) +
          key_binding(1, 65) + key_binding(3, 0x10000) +
          variable_record(record::variable, 0x13, "line_count", "i", 4) +
          variable_record(record::initialized_variable, 0x24,
                          "-loaded-qxl-file-h", "[7C]", 14,
                          units(u"/x/h.q") + ByteBuffer{0, 0}) +
          variable_record(record::initialized_variable, 0x04, "greeting",
                          "[10C]", 20, greeting) +
          variable_record(record::buffer_variable, 0x46, "mark", "s", 4,
                          {0, 0, 0, 0}) +
          variable_record(record::window_variable, 0x08, "w_flag", "b", 1,
                          {5}) +
          variable_record(record::variable, 0xF0, "odd", "?", 0) +
          ByteBuffer{record::key_table} + text_bytes("reg-tab") +
          ByteBuffer{record::color_class} + text_bytes("text") +
          ByteBuffer{record::color_scheme} + text_bytes("Dark Blue") +
          small_record(record::color_assignment, {1, 0xFFFF},
                       {0x00FF8800, 0x1000000}) +
          small_record(record::color_assignment, {2, 0}, {0x2000001, 0}) +
          variable_record(record::initialized_variable, 0x07, "odd", "S{BT}", 4,
                          {1, 2, 0}),
      pool_entry(u"t\t\"\\ \u00e9\u20ac\x7f") + pool_entry(u""),
      debug_entry("rich.q") + debug_entry("dir/b c\x01.q"));
}

// ---------------------------------------------------------------- listings

TEST(DisassemblerListing, EmptyFile) {
  EXPECT_EQ(
      listing_of(bytecode_file({})),
      "@0 header\n  magic: 0x1a4c5851\n  version: 206\n  string pool size: 0\n"
      "  debug data size: 0\n@16 end\n@17 string pool: 0 bytes\n@17 debug "
      "data: 0 bytes\n");
}

TEST(DisassemblerListing, EveryRecordAndOperandKind) {
  EXPECT_EQ(
      listing_of(rich_file()),
      "@0 header\n"
      "  magic: 0x1a4c5851\n"
      "  version: 206\n"
      "  string pool size: 28\n"
      "  debug data size: 26\n"
      "@16 command rich\n"
      "  code length: 78 (74 code bytes)\n"
      "  reference area: 17 bytes, 2 references\n"
      "  argument words: 1\n"
      "  frame words: 2\n"
      "  code:\n"
      "       0  OP_DEBUG_FILE 0 \"rich.q\"\n"
      "       5  OP_DEBUG_LINE 3\n"
      "       8  OP_PUSH_STRING 0 \"t\\x09\\\"\\\\ \\xe9\\u20ac\\x7f\"\n"
      "      13  OP_CALL show-it [ref 0], 1 word, result used\n"
      "      17  OP_JUMP_IF_FALSE -> 32\n"
      "      20  OP_SWITCH 1 entry\n"
      "            case -7 -> 8\n"
      "      29  OP_SWITCH 0 entries\n"
      "      32  OP_SAVE_VAR 1 word, buffer-specific, restore code 4 bytes:\n"
      "      35    OP_STORE_GLOBAL_2 mode [ref 1]\n"
      "      38    OP_END_HANDLER\n"
      "      39  OP_LOAD_LOCAL_NARROW char, 3\n"
      "      42  OP_STORE_LOCAL_NARROW short wide, 200\n"
      "      46  OP_INC_LOCAL 1, value-before, -5\n"
      "      50  OP_PRIMITIVE_EXT 5 (primitive 517 widen, 2 words, result "
      "unused)\n"
      "      53  primitive 131 message, 0 words, result used\n"
      "      55  primitive 130 insert\n"
      "      56  OP_PUSH_COLOR_CLASS status-line\\x01\n"
      "      70  OP_JUMP -> 0\n"
      "      73  OP_RETURN\n"
      "@125 key binding\n  table: 1\n  key: 65 (0x41)\n"
      "@131 key binding\n  table: 3\n  key: 65536 (0x10000)\n"
      "@137 variable line-count\n"
      "  attributes: 0x13 (int, user)\n  type: \"i\"\n  size: 4\n"
      "@156 initialized variable -loaded-qxl-file-h (id variable)\n"
      "  attributes: 0x24 (char-array, volatile)\n  type: \"[7C]\"\n  size: "
      "14\n"
      "  data:\n"
      "       0: 2f 00 78 00 2f 00 68 00 2e 00 71 00 00 00\n"
      "  text: \"/x/h.q\" + 1 zero unit\n"
      "@200 initialized variable greeting\n"
      "  attributes: 0x04 (char-array)\n  type: \"[10C]\"\n  size: 20\n"
      "  data:\n"
      "       0: 48 00 65 00 6c 00 6c 00 6f 00 00 00 00 00 00 00\n"
      "      16: 00 00 00 00\n"
      "  text: \"Hello\" + 5 zero units\n"
      "@241 buffer variable mark\n"
      "  attributes: 0x46 (spot-or-pointer, zeroed)\n  type: \"s\"\n  size: 4\n"
      "  data:\n       0: 00 00 00 00\n"
      "@258 window variable w-flag\n"
      "  attributes: 0x08 (byte)\n  type: \"b\"\n  size: 1\n"
      "  data:\n       0: 05\n"
      "@274 variable odd\n"
      "  attributes: 0xf0 (class 0, user, volatile, zeroed, flag 0x80)\n"
      "  type: \"?\"\n  size: 0\n"
      "@286 key table reg-tab\n"
      "@295 color class text\n"
      "@301 color scheme \"Dark Blue\"\n"
      "@312 color assignment\n"
      "  class: 1\n  scheme: none\n  foreground: 0x00ff8800\n  background: "
      "none\n"
      "@325 color assignment\n"
      "  class: 2\n  scheme: 0\n  foreground: same as class 1\n  background: "
      "0x00000000\n"
      "@338 initialized variable odd\n"
      "  attributes: 0x07 (other)\n  type: \"S{BT}\"\n  size: 4\n"
      "  data:\n       0: 01 02 00\n"
      "@357 end\n"
      "@358 string pool: 28 bytes\n"
      "  0: \"t\\x09\\\"\\\\ \\xe9\\u20ac\\x7f\"\n"
      "  22: \"\"\n"
      "@386 debug data: 26 bytes\n"
      "  0: \"rich.q\"\n"
      "  11: \"dir/b c\\x01.q\"\n");
}

TEST(DisassemblerListing,
     PrimitivesWithoutTheLookupAreNumbersWithoutCallBytes) {
  Code code;
  code.b({130, op::primitive_ext, 5, 95, 245, 131, op::return_});
  const std::string listing = listing_of(
      bytecode_file(function_record(record::function, "f", code)), nullptr);
  EXPECT_NE(listing.find("       0  primitive 130\n"
                         "       1  OP_PRIMITIVE_EXT 5 (primitive 517)\n"
                         "       3  primitive 95\n"
                         "       4  primitive 245\n"
                         "       5  primitive 131\n"
                         "       6  OP_RETURN\n"),
            std::string::npos)
      << listing;
}

// ------------------------------------------------------------------ errors

struct Corruption {
  ByteBuffer file;
  std::size_t offset;
  std::string message;
};

std::string nested_structures(int depth) {
  std::string type;
  for (int i = 0; i < depth; ++i) type += "S{";
  return type;
}

// A file holding function f with this code, which starts at file offset 31.
ByteBuffer with_code(std::initializer_list<unsigned> bytes,
                     std::vector<std::pair<unsigned, std::string>> refs = {}) {
  Code code;
  code.b(bytes).refs = std::move(refs);
  return bytecode_file(function_record(record::function, "f", code));
}

// The file with the bytes from `at` on replaced, growing it if need be.
ByteBuffer changed(ByteBuffer file, std::size_t at,
                   std::initializer_list<std::uint8_t> bytes) {
  file.resize(std::max(file.size(), at + bytes.size()));
  std::copy(bytes.begin(), bytes.end(),
            file.begin() + static_cast<std::ptrdiff_t>(at));
  return file;
}

TEST(DisassemblerErrors, EveryCorruptionNamesItsOffset) {
  const ByteBuffer empty = bytecode_file({});
  const ByteBuffer global_ref =
      with_code({op::global_ref, 0, 0, op::return_}, {{1, "x"}});
  ByteBuffer extra_name =
      function_record(record::function, "f", Code{}.b({op::return_}));
  extra_name[7] = 1;  // a names area of one byte, but no references
  const std::vector<Corruption> cases = {
      // Header and record structure.
      {{'Q', 'X', 'L'}, 0, "magic number runs past the end of the file"},
      {changed(empty, 3, {0}), 0,
       "bad magic number 0x004c5851, expected 0x1a4c5851"},
      {changed(empty, 4, {205}), 4, "unsupported version 205, expected 206"},
      {ByteBuffer(empty.begin(), empty.end() - 1), 16, "missing end record"},
      {changed(empty, 16, {23}), 16, "unknown record kind 23"},
      {bytecode_file(key_binding(1, 65)), 16,
       "key binding record does not follow a function record"},
      {changed(empty, 16, {record::color_scheme, 'x'}), 17,
       "color scheme name has no terminating zero byte before the end of the "
       "file"},
      {bytecode_file(variable_record(record::initialized_variable, 3, "v", "i",
                                     9, {1, 2})),
       26, "initial data of 9 bytes runs past the end of the file"},
      // An initialized structure's data is as long as its signature says.
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     "S{BT}", 8, {1, 2, 0})),
       26, "size 8 does not match the type signature's 3 bytes"},
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     "S{B[2S{C*S-}]}", 32, {})),
       39, "initial data of 29 bytes runs past the end of the file"},
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     "S{BQ}", 4, {})),
       23, "type signature has an unknown type letter \"Q\""},
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     "S{[C]}", 4, {})),
       23, "type signature lacks an array count here"},
      {bytecode_file(
           variable_record(record::initialized_variable, 7, "v", "S{B", 4, {})),
       23, "type signature ends where a type should follow"},
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     "S{S-}", 4, {})),
       22,
       "type signature has a structure or union without members where a size "
       "is needed"},
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     "S{[4294967296B]}", 4, {})),
       22, "type signature describes more than 4294967295 bytes"},
      {bytecode_file(variable_record(record::initialized_variable, 7, "v",
                                     nested_structures(200), 4, {})),
       222, "type signature nests too deeply"},
      // Function header, reference table and names.
      {changed(global_ref, 19, {3}), 19, "code length 3 is shorter than 4"},
      {changed(global_ref, 19, {4}), 19, "code length 4 leaves no code"},
      {changed(global_ref, 19, {0xFF, 0xFF, 0xFF, 0xFF}), 31,
       "code of 4294967291 bytes runs past the end of the file"},
      {changed(global_ref, 23, {1}), 23,
       "reference area of 1 byte is too small for 1 reference"},
      {changed(global_ref, 23, {0xFF}), 35,
       "reference area runs past the end of the file"},
      {changed(global_ref, 25, {2}), 39,
       "name of reference 0 runs past the end of the names area"},
      {bytecode_file(extra_name), 32,
       "1 byte left over after the names of 0 references"},
      {with_code({op::global_ref, 0, 0, op::return_}), 32,
       "name reference at code offset 1 is not in the reference table"},
      {with_code({op::push_zero, op::return_}, {{1, "x"}}), 33,
       "reference 0 points at code offset 1, which is not a name reference"},
      {with_code({op::global_ref, 0, 0, op::return_}, {{1, "a"}, {1, "b"}}), 37,
       "reference 1 repeats code offset 1 of reference 0"},
      // Instructions and operands.
      {with_code({0, op::return_}), 31, "unknown opcode 0"},
      {with_code({op::push_zero, 94, op::return_}), 32, "unknown opcode 94"},
      {with_code({246, op::return_}), 31, "unknown opcode 246"},
      {with_code({op::return_, op::push_i32, 1, 2}), 33,
       "operand of OP_PUSH_I32 runs past the end of the code"},
      {with_code({op::return_, op::load_local_narrow, narrow::wide_offset, 1}),
       34, "operand of OP_LOAD_LOCAL_NARROW runs past the end of the code"},
      {with_code({op::return_, op::push_color_class, 'a'}), 33,
       "name operand of OP_PUSH_COLOR_CLASS has no terminating zero byte "
       "before the end of "
       "the code"},
      {with_code({op::switch_, 5, 0, op::return_}), 34,
       "table of OP_SWITCH runs past the end of the code"},
      {with_code({op::push_zero, op::push_zero}), 32,
       "code ends with OP_PUSH_ZERO, not OP_RETURN"},
      {with_code({op::return_, 131}), 33,
       "call byte of primitive 131 runs past the end of the code"},
      {with_code({op::return_, op::primitive_ext, 5}), 34,
       "call byte of primitive 517 runs past the end of the code"},
      // Jumps: rel16 counts from the end of its operand, a switch entry from
      // the end of the whole table.
      {with_code({op::jump, 1, 0, op::return_}), 32,
       "jump target 4 is outside the code (4 bytes)"},
      {with_code({op::jump, 0xFC, 0xFF, op::return_}), 32,
       "jump target -1 is outside the code (4 bytes)"},
      {with_code({op::jump, 1, 0, op::push_i8, 1, op::return_}), 32,
       "jump target 4 is not the start of an instruction"},
      {with_code({op::switch_, 1, 0, 1, 0, 0, 0, 0, 0, op::return_}), 34,
       "jump target 10 is outside the code (10 bytes)"},
      {with_code({op::switch_, 1, 0, 0xFE, 0xFF, 0, 0, 0, 0, op::return_}), 34,
       "jump target 7 is not the start of an instruction"},
      // Restore code.
      {with_code({op::save_var, 1, 0, op::return_}), 33,
       "OP_SAVE_VAR has an empty restore code"},
      {with_code({op::save_var, 1, 9, op::return_}), 34,
       "restore code of OP_SAVE_VAR runs past the end of the code"},
      {with_code(
           {op::save_var, 1, 1, op::push_i8, op::end_handler, op::return_}),
       35, "operand of OP_PUSH_I8 runs past the end of the restore code"},
      {with_code(
           {op::save_var, 1, 2, op::push_i8, op::end_handler, op::return_}),
       34, "restore code ends with OP_PUSH_I8, not OP_END_HANDLER"},
      // The blocks after the end record.
      {changed(empty, 8, {10}), 17,
       "string pool (10 bytes) and debug data (0 bytes) run past the end of "
       "the file: 0 bytes "
       "follow the end record"},
      {empty + ByteBuffer{1, 2, 3}, 17,
       "3 trailing bytes after the debug data"},
      {bytecode_file({}, {0, 0}), 17,
       "length of a string pool entry runs past the end of the string pool"},
      {bytecode_file({}, {3, 0, 0, 0, 'a', 0, 0}), 17,
       "string pool entry has odd length 3"},
      {bytecode_file({}, {0, 0, 0, 0}), 17,
       "string pool entry has length 0, with no room for its terminator"},
      {bytecode_file({}, {8, 0, 0, 0, 0, 0, 0, 0}), 21,
       "string pool entry of 8 bytes runs past the end of the string pool"},
      {bytecode_file({}, {4, 0, 0, 0, 'a', 0, 'b', 0}), 23,
       "string pool entry does not end with a zero unit"},
      {bytecode_file({}, {}, {0, 0, 0, 0}), 17,
       "debug file name has length 0, with no room for its terminator"},
      {bytecode_file({}, {}, {2, 0, 0, 0, 'a', 'b'}), 22,
       "debug file name does not end with a zero byte"},
      {bytecode_file(
           function_record(record::function, "f",
                           Code{}.b({op::push_string}).u32(4).b({op::return_})),
           pool_entry(u"ab")),
       32, "string pool has no entry at offset 4"},
      {bytecode_file(
           function_record(record::function, "f",
                           Code{}.b({op::debug_file}).u32(1).b({op::return_})),
           {}, debug_entry("a.q")),
       32, "debug data has no entry at offset 1"},
  };
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.message);
    const Disassembly result = disassemble(c.file, {test_primitives});
    ASSERT_TRUE(result.error) << result.listing;
    EXPECT_EQ(result.error->offset, c.offset);
    EXPECT_EQ(result.error->message, c.message);
    EXPECT_EQ(result.listing, "");
  }
}

TEST(DisassemblerErrors, EveryTruncationIsAnErrorWithinTheBytesGiven) {
  const ByteBuffer file = rich_file();
  for (std::size_t size = 0; size < file.size(); ++size) {
    const Disassembly result =
        disassemble(std::span(file).first(size), {test_primitives});
    ASSERT_TRUE(result.error) << "cut at " << size;
    EXPECT_LE(result.error->offset, size);
    EXPECT_EQ(result.listing, "");
  }
}

// Every byte of the rich file set to values that matter somewhere (zero,
// OP_RETURN, OP_SAVE_VAR, OP_SWITCH, high bit, all bits): decoding never
// reads outside the file, and an error comes alone.
TEST(DisassemblerErrors, CorruptedBytesNeverLeadOutsideTheFile) {
  const ByteBuffer good = rich_file();
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (std::uint8_t value : {0x00, 0x01, 0x0C, 0x24, 0x4B, 0x80, 0xFF}) {
      const ByteBuffer file = changed(good, at, {value});
      const Disassembly result = disassemble(file, {test_primitives});
      if (result.error) {
        EXPECT_LE(result.error->offset, file.size()) << at << " " << int{value};
      }
      EXPECT_NE(result.listing.empty(), !result.error)
          << at << " " << int{value};
    }
  }
}

}  // namespace
}  // namespace qxl
