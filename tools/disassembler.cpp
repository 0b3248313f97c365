#include "tools/disassembler.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <concepts>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "bytecode/byte_reader.h"
#include "bytecode/format.h"
#include "bytecode/instructions.h"

namespace qxl {
namespace {

// Thrown at the first problem; disassemble() turns it into its result.
struct Failure {
  std::size_t offset;
  std::string message;
};

[[noreturn]] void fail(std::size_t offset, std::string message) {
  throw Failure{offset, std::move(message)};
}

// Any integer in decimal; bytes count as numbers, not characters.
std::string num(std::integral auto value) { return std::to_string(value); }

std::string hex(std::uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*x", digits,
                static_cast<unsigned>(value));
  return buf;
}

std::string count_of(std::uint64_t n, std::string_view one,
                     std::string_view many) {
  return num(n) + " " + std::string(n == 1 ? one : many);
}

// --------------------------------------------------------------- escaping

void append_escaped(std::string& out, unsigned unit, bool quoted) {
  char buf[8];
  if (quoted && (unit == '"' || unit == '\\')) {
    out += '\\';
    out += static_cast<char>(unit);
  } else if (!quoted && unit == '\\') {
    out += "\\\\";
  } else if (unit > 0x20 && unit < 0x7f) {
    out += static_cast<char>(unit);
  } else if (unit == 0x20 && quoted) {
    out += ' ';
  } else {
    std::snprintf(buf, sizeof buf, unit < 0x100 ? "\\x%02x" : "\\u%04x", unit);
    out += buf;
  }
}

std::string quoted_bytes(std::span<const std::uint8_t> bytes) {
  std::string out = "\"";
  for (std::uint8_t b : bytes) append_escaped(out, b, true);
  return out + "\"";
}

// A name as the file stores it, one word even when it holds spaces.
std::string show_name(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "\"\"";
  std::string out;
  for (std::uint8_t b : bytes) append_escaped(out, b, false);
  return out;
}

std::uint16_t unit_at(std::span<const std::uint8_t> bytes, std::size_t i) {
  return get_u16(bytes.data() + 2 * i);
}

std::string quoted_units(std::span<const std::uint8_t> bytes,
                         std::size_t units) {
  std::string out = "\"";
  for (std::size_t i = 0; i < units; ++i)
    append_escaped(out, unit_at(bytes, i), true);
  return out + "\"";
}

// ----------------------------------------------------------------- reading

// A bounds-checked cursor over a region of the file: `in` reads the file
// cut at the region's end, from the current offset on.  `place` names the
// region in messages; every offset it reports is a file offset.
struct Reader {
  ByteReader in;
  std::string_view place;

  std::size_t pos() const { return in.pos; }
  std::size_t left() const { return in.left(); }

  void need(std::uint64_t n, std::string_view what) const {
    if (!in.has(n))
      fail(in.pos,
           std::string(what) + " runs past the end of " + std::string(place));
  }
  std::span<const std::uint8_t> take(std::uint64_t n, std::string_view what) {
    need(n, what);
    return in.take(n);
  }
  std::uint8_t u8(std::string_view what) {
    need(1, what);
    return in.u8();
  }
  std::uint16_t u16(std::string_view what) {
    need(2, what);
    return in.u16();
  }
  std::uint32_t u32(std::string_view what) {
    need(4, what);
    return in.u32();
  }
  // Bytes up to a zero byte, which is consumed but not returned.
  std::span<const std::uint8_t> zstring(std::string_view what) {
    need(1, what);
    if (!in.has_name())
      fail(in.pos, std::string(what) +
                       " has no terminating zero byte before the end of " +
                       std::string(place));
    return in.name();
  }
};

// The reader of bytes `from` to `to` of the file.
Reader region(std::span<const std::uint8_t> file, std::size_t from,
              std::size_t to, std::string_view place) {
  return {ByteReader{file.first(to), from}, place};
}

// A pool or debug data offset in the code, resolved once those blocks,
// which follow all records, have been read.
struct TextReference {
  std::size_t line;        // listing line that gets the text appended
  std::uint32_t offset;    // in the pool or debug data
  std::size_t operand_at;  // file offset of the operand
};

struct Decoder {
  std::span<const std::uint8_t> file;
  DisassemblyOptions options;
  std::vector<std::string> lines;
  std::vector<TextReference> string_refs, debug_refs;

  void line(std::string text) { lines.push_back(std::move(text)); }
};

// -------------------------------------------------------------------- code

struct Reference {
  std::size_t entry_at;  // file offset of the table entry
  std::uint16_t code_offset;
  std::span<const std::uint8_t> name;
  bool matched = false;
};

struct Jump {
  std::int64_t target;  // code offset
  std::size_t operand_at;
};

// What decoding one function's code collects and checks.
struct Code {
  std::size_t start = 0;  // file offset of code byte 0
  std::size_t size = 0;
  std::vector<Reference> refs;
  std::map<std::size_t, std::size_t>
      ref_by_offset;         // code offset -> refs index
  std::vector<bool> starts;  // instruction starts
  std::vector<Jump> jumps;
};

struct LastInstruction {
  std::uint8_t opcode = 0;
  std::size_t at = 0;
};

bool is_primitive(std::uint8_t opcode) {
  return opcode >= op::first_primitive && opcode <= op::last_primitive;
}

std::string mnemonic(std::uint8_t opcode) {
  if (is_primitive(opcode)) return "primitive " + num(opcode);
  return std::string(instruction_table[opcode].name);
}

std::string call_byte_text(std::uint8_t byte) {
  return count_of(byte & 0x7Fu, "word", "words") +
         ((byte & 0x80) != 0 ? ", result used" : ", result unused");
}

std::string save_flags_text(std::uint8_t flags) {
  std::string out = count_of(flags & save_flags::words_mask, "word", "words");
  if ((flags & save_flags::spot) != 0) out += ", spot";
  if ((flags & save_flags::buffer_specific) != 0) out += ", buffer-specific";
  if ((flags & save_flags::window_specific) != 0) out += ", window-specific";
  if ((flags & 0x80) != 0) out += ", flag 0x80";
  return out;
}

std::string inc_mode_text(std::uint8_t mode) {
  switch (mode) {
    case inc_mode::no_value:
      return "no-value";
    case inc_mode::value_before:
      return "value-before";
    case inc_mode::value_after:
      return "value-after";
    default:
      return "mode " + num(mode);
  }
}

std::string narrow_kind_text(std::uint8_t kind) {
  const bool wide = (kind & narrow::wide_offset) != 0;
  const int value = kind & 3;
  std::string out;
  if ((kind & ~7) != 0 || value == 3)
    out = "kind " + hex(kind, 2);
  else
    out = value == narrow::byte_value    ? "byte"
          : value == narrow::short_value ? "short"
                                         : "char";
  return wide ? out + " wide" : out;
}

std::string code_column(std::size_t code_offset, int depth) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%8zu  ", code_offset);
  return buf + std::string(static_cast<std::size_t>(2 * depth), ' ');
}

LastInstruction decode_block(Decoder& d, Code& code, Reader& r, int depth);

// The name and, for a variadic one, the call byte of primitive `number`.
std::string primitive_text(Decoder& d, Reader& r, int number) {
  const std::string label = "primitive " + num(number);
  std::optional<PrimitiveInfo> info;
  if (d.options.primitive != nullptr) info = d.options.primitive(number);
  if (!info) return label;
  std::string out = label + " " + std::string(info->name);
  if (info->variadic)
    out += ", " + call_byte_text(r.u8("call byte of " + label));
  return out;
}

// A ubyte operand, decoded where it is a call byte, flags, a mode, a narrow
// kind or the number of an extended primitive.
std::string ubyte_text(Decoder& d, Reader& r, std::uint8_t opcode,
                       std::size_t index, std::uint8_t value) {
  if ((opcode == op::call && index == 1) || opcode == op::call_indirect)
    return call_byte_text(value);
  if (opcode == op::save_var) return save_flags_text(value);
  if ((opcode == op::inc_local || opcode == op::inc_builtin) && index == 1)
    return inc_mode_text(value);
  if (opcode == op::load_local_narrow || opcode == op::store_local_narrow)
    return narrow_kind_text(value);
  if (opcode == op::primitive_ext)
    return num(value) + " (" +
           primitive_text(d, r, op::extended_primitive_base + value) + ")";
  return num(value);
}

// The target of a jump whose displacement counts from file offset `from`;
// it must lie inside the code, and is checked to start an instruction once
// the whole code is decoded.
std::int64_t jump_target(Code& code, std::size_t operand_at, std::size_t from,
                         std::int16_t disp) {
  const std::int64_t target =
      static_cast<std::int64_t>(from - code.start) + disp;
  if (target < 0 || target >= static_cast<std::int64_t>(code.size))
    fail(operand_at, "jump target " + num(target) + " is outside the code (" +
                         count_of(code.size, "byte", "bytes") + ")");
  code.jumps.push_back({target, operand_at});
  return target;
}

// Decodes one instruction at r.pos() and appends its line (and the lines of
// a switch table or restore code) to the listing.
LastInstruction decode_instruction(Decoder& d, Code& code, Reader& r,
                                   int depth) {
  const std::size_t at = r.pos();
  code.starts[at - code.start] = true;
  const std::uint8_t opcode = r.u8("opcode");
  std::string line = code_column(at - code.start, depth);
  if (is_primitive(opcode)) {
    d.line(line + primitive_text(d, r, opcode));
    return {opcode, at};
  }
  if (opcode >= instruction_table.size() ||
      instruction_table[opcode].name.empty())
    fail(at, "unknown opcode " + num(opcode));
  const Instruction& ins = instruction_table[opcode];
  const std::string what = "operand of " + std::string(ins.name);
  line += ins.name;

  // A narrow offset's width depends on the kind byte before it.
  std::uint8_t last_byte = 0;
  std::string separator = " ";
  for (std::size_t i = 0; i < ins.operands.size(); ++i) {
    std::string text;
    switch (ins.operands[i]) {
      case Operand::none:
        continue;
      case Operand::sbyte:
        text = num(static_cast<std::int8_t>(r.u8(what)));
        break;
      case Operand::ubyte:
        last_byte = r.u8(what);
        text = ubyte_text(d, r, opcode, i, last_byte);
        break;
      case Operand::word16:
        text = num(r.u16(what));
        break;
      case Operand::int32:
        text = num(static_cast<std::int32_t>(r.u32(what)));
        break;
      case Operand::off32: {
        const std::size_t operand_at = r.pos();
        const std::uint32_t value = r.u32(what);
        text = num(value);
        if (opcode == op::push_string)
          d.string_refs.push_back({d.lines.size(), value, operand_at});
        else if (opcode == op::debug_file)
          d.debug_refs.push_back({d.lines.size(), value, operand_at});
        break;
      }
      case Operand::rel16: {
        const std::size_t operand_at = r.pos();
        const auto disp = static_cast<std::int16_t>(r.u16(what));
        text = "-> " + num(jump_target(code, operand_at, r.pos(), disp));
        break;
      }
      case Operand::nameref: {
        const std::size_t operand_at = r.pos();
        r.take(2, what);
        auto found = code.ref_by_offset.find(operand_at - code.start);
        if (found == code.ref_by_offset.end())
          fail(operand_at, "name reference at code offset " +
                               num(operand_at - code.start) +
                               " is not in the reference table");
        Reference& ref = code.refs[found->second];
        ref.matched = true;
        text = show_name(ref.name) + " [ref " + num(found->second) + "]";
        break;
      }
      case Operand::name:
        text = show_name(r.zstring("name " + what));
        break;
      case Operand::narrow_offset:
        text = (last_byte & narrow::wide_offset) != 0
                   ? num(r.u16(what))
                   : num(static_cast<std::int8_t>(r.u8(what)));
        break;
      case Operand::switch_table: {
        const std::uint16_t count =
            r.u16("entry count of " + std::string(ins.name));
        const std::size_t table_at = r.pos();
        r.need(std::uint64_t{count} * 6, "table of " + std::string(ins.name));
        const std::size_t table_end = table_at + std::size_t{count} * 6;
        d.line(line + " " + count_of(count, "entry", "entries"));
        const std::string indent(code_column(0, depth + 1).size(), ' ');
        for (std::size_t e = 0; e < count; ++e) {
          const std::size_t entry_at = r.pos();
          const auto disp = static_cast<std::int16_t>(r.u16(what));
          const auto value = static_cast<std::int32_t>(r.u32(what));
          const std::int64_t target =
              jump_target(code, entry_at, table_end, disp);
          d.line(indent + "case " + num(value) + " -> " + num(target));
        }
        return {opcode, at};
      }
      case Operand::restore_code: {
        const std::size_t length_at = r.pos();
        const std::uint8_t length =
            r.u8("restore code length of " + std::string(ins.name));
        const std::size_t restore_at = r.pos();
        r.take(length, "restore code of " + std::string(ins.name));
        Reader restore =
            region(r.in.bytes, restore_at, r.pos(), "the restore code");
        d.line(line + separator + "restore code " +
               count_of(length, "byte", "bytes") + ":");
        if (length == 0)
          fail(length_at, std::string(ins.name) + " has an empty restore code");
        const LastInstruction last = decode_block(d, code, restore, depth + 1);
        if (last.opcode != op::end_handler)
          fail(last.at, "restore code ends with " + mnemonic(last.opcode) +
                            ", not OP_END_HANDLER");
        return {opcode, at};
      }
    }
    line += separator + text;
    separator = ", ";
  }
  d.line(std::move(line));
  return {opcode, at};
}

LastInstruction decode_block(Decoder& d, Code& code, Reader& r, int depth) {
  LastInstruction last;
  while (r.left() > 0) last = decode_instruction(d, code, r, depth);
  return last;
}

// ------------------------------------------------------------------ records

// Function record: header fields, code, reference table, names area.
void decode_function(Decoder& d, Reader& r, std::size_t at, std::uint8_t kind) {
  const auto name = r.zstring("function name");
  d.line("@" + num(at) +
         (kind == record::command ? " command " : " function ") +
         show_name(name));
  const std::size_t length_at = r.pos();
  const std::uint32_t code_length = r.u32("code length");
  if (code_length < 4)
    fail(length_at, "code length " + num(code_length) + " is shorter than 4");
  const std::size_t area_at = r.pos();
  const std::uint16_t area = r.u16("reference area size");
  const std::uint16_t count = r.u16("reference count");
  if (area < 2u * count)
    fail(area_at, "reference area of " + count_of(area, "byte", "bytes") +
                      " is too small for " +
                      count_of(count, "reference", "references"));
  const std::uint16_t arguments = r.u16("argument words");
  const std::uint16_t frame = r.u16("frame words");

  Code code;
  code.start = r.pos();
  code.size = code_length - 4;
  r.take(code.size, "code of " + count_of(code.size, "byte", "bytes"));
  Reader code_reader = region(r.in.bytes, code.start, r.pos(), "the code");
  if (code.size == 0) fail(length_at, "code length 4 leaves no code");

  const std::size_t table_at = r.pos();
  const std::size_t table_end = table_at + 2u * count;
  r.take(area, "reference area");
  Reader table =
      region(r.in.bytes, table_at, table_end, "the reference table");
  Reader names = region(r.in.bytes, table_end, r.pos(), "the names area");
  for (std::size_t i = 0; i < count; ++i) {
    Reference ref;
    ref.entry_at = table.pos();
    ref.code_offset = table.u16("reference table entry");
    ref.name = names.zstring("name of reference " + num(i));
    auto [previous, added] = code.ref_by_offset.emplace(ref.code_offset, i);
    if (!added)
      fail(ref.entry_at, "reference " + num(i) + " repeats code offset " +
                             num(ref.code_offset) + " of reference " +
                             num(previous->second));
    code.refs.push_back(ref);
  }
  if (names.left() > 0)
    fail(names.pos(), count_of(names.left(), "byte", "bytes") +
                        " left over after the names of " +
                        count_of(count, "reference", "references"));

  d.line("  code length: " + num(code_length) + " (" +
         count_of(code.size, "code byte", "code bytes") + ")");
  d.line("  reference area: " + count_of(area, "byte", "bytes") + ", " +
         count_of(count, "reference", "references"));
  d.line("  argument words: " + num(arguments));
  d.line("  frame words: " + num(frame));
  d.line("  code:");
  code.starts.assign(code.size, false);
  const LastInstruction last = decode_block(d, code, code_reader, 0);
  if (last.opcode != op::return_)
    fail(last.at,
         "code ends with " + mnemonic(last.opcode) + ", not OP_RETURN");
  for (const Jump& jump : code.jumps)
    if (!code.starts[static_cast<std::size_t>(jump.target)])
      fail(jump.operand_at, "jump target " + num(jump.target) +
                                " is not the start of an instruction");
  for (std::size_t i = 0; i < code.refs.size(); ++i)
    if (!code.refs[i].matched)
      fail(code.refs[i].entry_at, "reference " + num(i) +
                                      " points at code offset " +
                                      num(code.refs[i].code_offset) +
                                      ", which is not a name reference");
}

std::string attributes_text(std::uint8_t attributes) {
  static constexpr std::string_view classes[] = {
      "",           "char",         "short",           "int",
      "char-array", "char-pointer", "spot-or-pointer", "other",
      "byte"};
  const unsigned storage = attributes & 0x0Fu;
  std::string out = storage < std::size(classes) && storage != 0
                        ? std::string(classes[storage])
                        : "class " + num(storage);
  if ((attributes & attribute::user) != 0) out += ", user";
  if ((attributes & attribute::volatile_) != 0) out += ", volatile";
  if ((attributes & attribute::zeroed) != 0) out += ", zeroed";
  if ((attributes & 0x80) != 0) out += ", flag 0x80";
  return out;
}

void hex_dump(Decoder& d, std::span<const std::uint8_t> data) {
  for (std::size_t row = 0; row < data.size(); row += 16) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%8zu: ", row);
    std::string line = buf;
    for (std::size_t i = row; i < std::min(data.size(), row + 16); ++i) {
      std::snprintf(buf, sizeof buf, i == row ? "%02x" : " %02x", data[i]);
      line += buf;
    }
    d.line(std::move(line));
  }
}

// A type signature being measured.  Sizes stay below 2^32 and nesting
// below a fixed depth, whatever the file holds.
struct Signature {
  std::span<const std::uint8_t> text;
  std::size_t at = 0;  // file offset of the first character
  std::size_t pos = 0;

  bool next_is(char c) const { return pos < text.size() && text[pos] == c; }
  void expect(char c) {
    if (!next_is(c))
      fail(at + pos, std::string("type signature lacks '") + c + "' here");
    ++pos;
  }
};

constexpr int signature_depth_limit = 100;
constexpr std::uint64_t signature_size_limit = 0xFFFFFFFF;

std::optional<std::uint64_t> signature_type(Signature& s, int depth);

std::uint64_t signature_sized_type(Signature& s, int depth) {
  const std::size_t start = s.pos;
  const auto size = signature_type(s, depth);
  if (!size)
    fail(s.at + start,
         "type signature has a structure or union without members where a size "
         "is needed");
  return *size;
}

// The size in bytes of the type at s.pos, structures and unions not rounded
// up to whole words; nothing for the short forms "S-" and "U-", which leave
// their members out.
std::optional<std::uint64_t> signature_type(Signature& s, int depth) {
  if (depth > signature_depth_limit)
    fail(s.at + s.pos, "type signature nests too deeply");
  if (s.pos >= s.text.size())
    fail(s.at + s.pos, "type signature ends where a type should follow");
  const std::size_t start = s.pos;
  auto too_large = [&] {
    fail(s.at + start, "type signature describes more than " +
                           num(signature_size_limit) + " bytes");
  };
  switch (s.text[s.pos++]) {
    case 'I':
    case '.':
      return 4;
    case 'C':
    case 'T':
      return 2;
    case 'B':
      return 1;
    case '*': {  // the target may be absent, and needs no size
      const bool to_function = s.next_is('(');
      if (s.pos < s.text.size() && !s.next_is(')') && !s.next_is('}') &&
          !s.next_is(']'))
        signature_type(s, depth + 1);
      return to_function ? 2 : 12;
    }
    case '(':  // a function; its result may be absent
      if (!s.next_is(')')) signature_type(s, depth + 1);
      s.expect(')');
      return 4;
    case '[': {
      std::uint64_t count = 0;
      const std::size_t digits = s.pos;
      for (; s.pos < s.text.size() && s.text[s.pos] >= '0' &&
             s.text[s.pos] <= '9';
           ++s.pos) {
        count = count * 10 + (s.text[s.pos] - '0');
        if (count > signature_size_limit) too_large();
      }
      if (s.pos == digits)
        fail(s.at + s.pos, "type signature lacks an array count here");
      const std::uint64_t element = signature_sized_type(s, depth + 1);
      s.expect(']');
      if (element != 0 && count > signature_size_limit / element) too_large();
      return count * element;
    }
    case 'S':
    case 'U': {
      const bool structure = s.text[start] == 'S';
      if (s.next_is('-')) {
        ++s.pos;
        return std::nullopt;
      }
      s.expect('{');
      std::uint64_t total = 0;
      while (!s.next_is('}')) {
        const std::uint64_t member = signature_sized_type(s, depth + 1);
        total = structure ? total + member : std::max(total, member);
        if (total > signature_size_limit) too_large();
      }
      ++s.pos;
      return total;
    }
    default:
      fail(s.at + start, "type signature has an unknown type letter " +
                             quoted_bytes(s.text.subspan(start, 1)));
  }
}

// How many bytes of initial data a variable record carries.  A buffer or
// window variable and an initialized scalar, pointer or array carry `size`
// bytes; an initialized structure carries its members' images only, which
// its size rounds up to whole words.
std::uint64_t initial_data_size(std::uint8_t kind,
                                std::span<const std::uint8_t> type,
                                std::size_t type_at, std::uint32_t size,
                                std::size_t size_at) {
  if (kind != record::initialized_variable || type.empty() ||
      (type[0] != 'S' && type[0] != 'U'))
    return size;
  Signature signature{type, type_at};
  const std::uint64_t image = signature_sized_type(signature, 0);
  if (signature.pos != type.size())
    fail(type_at + signature.pos, "type signature goes on after its type");
  if ((image + 3) / 4 * 4 != size)
    fail(size_at, "size " + num(size) +
                      " does not match the type signature's " +
                      count_of(image, "byte", "bytes"));
  return image;
}

// Variable record: attributes, name, type signature, size, initial data.
void decode_variable(Decoder& d, Reader& r, std::size_t at, std::uint8_t kind) {
  const std::uint8_t attributes = r.u8("attributes");
  const auto name = r.zstring("variable name");
  const std::size_t type_at = r.pos();
  const auto type = r.zstring("type signature");
  const std::size_t size_at = r.pos();
  const std::uint32_t size = r.u32("variable size");
  const bool has_data = kind != record::variable;
  std::span<const std::uint8_t> data;
  if (has_data) {
    const std::uint64_t data_size =
        initial_data_size(kind, type, type_at, size, size_at);
    data = r.take(data_size,
                  "initial data of " + count_of(data_size, "byte", "bytes"));
  }

  static constexpr std::string_view kinds[] = {
      "variable", "initialized variable", "buffer variable", "window variable"};
  std::string title = "@" + num(at) + " " +
                      std::string(kinds[kind - record::variable]) + " " +
                      show_name(name);
  const std::string_view prefix = id_variable_prefix;
  if (kind == record::initialized_variable && name.size() >= prefix.size() &&
      std::equal(prefix.begin(), prefix.end(), name.begin()))
    title += " (id variable)";
  d.line(std::move(title));
  d.line("  attributes: " + hex(attributes, 2) + " (" +
         attributes_text(attributes) + ")");
  d.line("  type: " + quoted_bytes(type));
  d.line("  size: " + num(size));
  if (!has_data) return;
  d.line("  data:");
  hex_dump(d, data);
  if ((attributes & 0x0F) != attribute::class_char_array) return;
  std::size_t units = data.size() / 2;
  std::size_t zeros = 0;
  while (units > 0 && unit_at(data, units - 1) == 0) --units, ++zeros;
  d.line("  text: " + quoted_units(data, units) +
         (zeros > 0 ? " + " + count_of(zeros, "zero unit", "zero units") : ""));
}

void decode_color_assignment(Decoder& d, Reader& r, std::size_t at) {
  const std::uint16_t color_class = r.u16("color class number");
  const std::uint16_t scheme = r.u16("color scheme number");
  const std::uint32_t foreground = r.u32("foreground");
  const std::uint32_t background = r.u32("background");
  constexpr std::uint32_t same_as_class = 0x2000000;
  constexpr std::uint32_t no_background = 0x1000000;
  d.line("@" + num(at) + " color assignment");
  d.line("  class: " + num(color_class));
  d.line("  scheme: " + (scheme == 0xFFFF ? std::string("none") : num(scheme)));
  d.line("  foreground: " +
         ((foreground & same_as_class) != 0
              ? "same as class " + num(foreground & (same_as_class - 1))
              : hex(foreground, 8)));
  d.line("  background: " + (background == no_background ? std::string("none")
                                                         : hex(background, 8)));
}

// The two data blocks that end the file.  Each entry is a 4-byte length,
// then that many bytes of characters, the last one zero: 16-bit units in
// the string pool, bytes in the debug data.
struct TextBlock {
  std::string_view title;
  std::string_view entry;  // what one entry is called
  std::size_t unit;        // bytes of one character
  std::string_view unit_name;
};

constexpr TextBlock string_pool_block{"string pool", "string pool entry", 2,
                                      "unit"};
constexpr TextBlock debug_data_block{"debug data", "debug file name", 1,
                                     "byte"};

// The entries of a data block by offset, listed and kept for resolving the
// code's references.
std::map<std::uint32_t, std::string> decode_text_block(Decoder& d,
                                                       const TextBlock& block,
                                                       std::size_t at,
                                                       std::uint32_t size) {
  std::map<std::uint32_t, std::string> entries;
  const std::string title(block.title), entry(block.entry);
  const std::string place = "the " + title;
  Reader r = region(d.file, at, at + size, place);
  d.line("@" + num(at) + " " + title + ": " + count_of(size, "byte", "bytes"));
  while (r.left() > 0) {
    const auto offset = static_cast<std::uint32_t>(r.pos() - at);
    const std::uint32_t length = r.u32("length of a " + entry);
    if (length % block.unit != 0)
      fail(r.pos() - 4, entry + " has odd length " + num(length));
    if (length == 0)
      fail(r.pos() - 4,
           entry + " has length 0, with no room for its terminator");
    const auto bytes =
        r.take(length, entry + " of " + count_of(length, "byte", "bytes"));
    const auto text = bytes.first(length - block.unit);
    if (std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(text.size()),
                    bytes.end(), [](std::uint8_t b) { return b != 0; }))
      fail(r.pos() - block.unit, entry + " does not end with a zero " +
                                     std::string(block.unit_name));
    entries[offset] = block.unit == 1 ? quoted_bytes(text)
                                      : quoted_units(text, text.size() / 2);
    d.line("  " + num(offset) + ": " + entries[offset]);
  }
  return entries;
}

void resolve(Decoder& d, const std::vector<TextReference>& refs,
             const std::map<std::uint32_t, std::string>& entries,
             std::string_view block) {
  for (const TextReference& ref : refs) {
    auto found = entries.find(ref.offset);
    if (found == entries.end())
      fail(ref.operand_at,
           std::string(block) + " has no entry at offset " + num(ref.offset));
    d.lines[ref.line] += " " + found->second;
  }
}

void decode_file(Decoder& d) {
  Reader r = region(d.file, 0, d.file.size(), "the file");
  const std::uint32_t magic = r.u32("magic number");
  if (magic != bytecode_magic)
    fail(0, "bad magic number " + hex(magic, 8) + ", expected " +
                hex(bytecode_magic, 8));
  const std::uint32_t version = r.u32("version");
  if (version != bytecode_version)
    fail(4, "unsupported version " + num(version) + ", expected " +
                num(bytecode_version));
  const std::uint32_t pool_size = r.u32("string pool size");
  const std::uint32_t debug_size = r.u32("debug data size");
  d.line("@0 header");
  d.line("  magic: " + hex(magic, 8));
  d.line("  version: " + num(version));
  d.line("  string pool size: " + num(pool_size));
  d.line("  debug data size: " + num(debug_size));

  bool after_function = false;  // key bindings follow a function record
  for (bool ended = false; !ended;) {
    if (r.left() == 0) fail(r.pos(), "missing end record");
    const std::size_t at = r.pos();
    const std::uint8_t kind = r.u8("record kind");
    bool function = false;
    switch (kind) {
      case record::command:
      case record::function:
        decode_function(d, r, at, kind);
        function = true;
        break;
      case record::variable:
      case record::initialized_variable:
      case record::buffer_variable:
      case record::window_variable:
        decode_variable(d, r, at, kind);
        break;
      case record::key_table:
        d.line("@" + num(at) + " key table " +
               show_name(r.zstring("key table name")));
        break;
      case record::key_binding: {
        if (!after_function)
          fail(at, "key binding record does not follow a function record");
        const std::uint8_t table = r.u8("key table number");
        const std::uint32_t key = r.u32("key code");
        d.line("@" + num(at) + " key binding");
        d.line("  table: " + num(table));
        d.line("  key: " + num(key) + " (" + hex(key, 2) + ")");
        function = true;
        break;
      }
      case record::color_class:
        d.line("@" + num(at) + " color class " +
               show_name(r.zstring("color class name")));
        break;
      case record::color_scheme:
        d.line("@" + num(at) + " color scheme " +
               quoted_bytes(r.zstring("color scheme name")));
        break;
      case record::color_assignment:
        decode_color_assignment(d, r, at);
        break;
      case record::end:
        d.line("@" + num(at) + " end");
        ended = true;
        break;
      default:
        fail(at, "unknown record kind " + num(kind));
    }
    after_function = function;
  }

  const std::uint64_t wanted = std::uint64_t{pool_size} + debug_size;
  if (wanted > r.left())
    fail(r.pos(), "string pool (" + count_of(pool_size, "byte", "bytes") +
                    ") and debug data (" +
                    count_of(debug_size, "byte", "bytes") +
                    ") run past the end of the file: " +
                    count_of(r.left(), "byte follows", "bytes follow") +
                    " the end record");
  if (wanted < r.left())
    fail(r.pos() + wanted,
         count_of(r.left() - wanted, "trailing byte", "trailing bytes") +
             " after the debug data");
  const auto strings =
      decode_text_block(d, string_pool_block, r.pos(), pool_size);
  const auto debug_names =
      decode_text_block(d, debug_data_block, r.pos() + pool_size, debug_size);
  resolve(d, d.string_refs, strings, string_pool_block.title);
  resolve(d, d.debug_refs, debug_names, debug_data_block.title);
}

}  // namespace

Disassembly disassemble(std::span<const std::uint8_t> file,
                        const DisassemblyOptions& options) {
  Decoder d{file, options, {}, {}, {}};
  try {
    decode_file(d);
  } catch (Failure& failure) {
    return {{}, DecodeError{failure.offset, std::move(failure.message)}};
  }
  Disassembly result;
  for (const std::string& line : d.lines)
    result.listing.append(line).append("\n");
  return result;
}

std::optional<std::uint64_t> variable_data_size(std::uint8_t kind,
                                                std::string_view type,
                                                std::uint32_t size) {
  const std::span<const std::uint8_t> text(
      reinterpret_cast<const std::uint8_t*>(type.data()), type.size());
  try {
    return initial_data_size(kind, text, 0, size, 0);
  } catch (const Failure&) {
    return std::nullopt;
  }
}

bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes,
               std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = std::strerror(errno);
    if (got <= 0) {
      close(fd);
      return got == 0;
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
}

}  // namespace qxl
