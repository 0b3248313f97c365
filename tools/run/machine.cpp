#include "tools/run/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "bytecode/byte_reader.h"
#include "bytecode/format.h"
#include "bytecode/instructions.h"
#include "types/builtins.h"

namespace qxl::run {

void fault(std::string message) { throw Fault{std::move(message)}; }

namespace {

constexpr std::uint32_t local_region = 0x40000000;  // bases of locals
constexpr std::uint64_t heap_limit = 0x3FFF0000;    // end of other bases

std::string num(std::int64_t v) { return std::to_string(v); }

std::int32_t as_int(std::uint32_t v) { return static_cast<std::int32_t>(v); }

// Sizes of the built-in variables' types, from the table's type codes.
std::uint32_t type_code_size(int code) {
  if (code >= 16 + 1) return 12;  // a pointer
  switch (code % 16) {
    case type_code::char_:
    case type_code::char_alias:
    case type_code::short_:
    case type_code::int_function_pointer:
      return 2;
    case type_code::jmp_buf:
      return 800;
    case type_code::mouse_cursor:
      return 68;
    case type_code::timer:
      return 12;
    case type_code::time_info:
      return 16;
    case type_code::print_options:
      return 20;
    default:
      return 4;
  }
}

// The bytes of a value, each word little-endian.
ByteBuffer value_bytes(const std::vector<Slot>& value) {
  ByteBuffer bytes;
  for (const Slot& word : value) put_u32(bytes, word.value);
  return bytes;
}

// OP_LOAD_4 and OP_STORE_4 also serve 3-byte structures: an access at `a`
// into an object that ends 3 bytes after it takes those 3 bytes.
std::size_t word_access_size(const Object& o, const Ptr& a) {
  return a.offset >= 0 && o.size >= static_cast<std::uint32_t>(a.offset) + 3 &&
                 o.size < static_cast<std::uint32_t>(a.offset) + 4
             ? 3
             : 4;
}

}  // namespace

// ------------------------------------------------------------------ objects

std::uint32_t Machine::new_object(ObjectKind kind, std::uint32_t size) {
  std::uint32_t id;
  if (!free_ids.empty()) {
    id = free_ids.back();
    free_ids.pop_back();
  } else {
    if (objects.size() >= 0x7FFFFFFF) fault("out of memory: too many objects");
    id = static_cast<std::uint32_t>(objects.size());
    objects.emplace_back();
  }
  Object& o = objects[id];
  o = Object{};
  o.kind = kind;
  o.live = true;
  o.size = size;
  if (kind != ObjectKind::local) {
    const std::uint64_t room = (std::uint64_t{size} + 16 + 15) / 16 * 16;
    if (next_base + room > heap_limit)
      fault("out of memory: the address space is used up");
    o.base = static_cast<std::uint32_t>(next_base);
    next_base += room;
    o.bytes.assign(size, 0);
    by_base.emplace(o.base, id);
  }
  return id;
}

void Machine::kill_object(std::uint32_t id) {
  Object& o = objects[id];
  auto found = by_base.find(o.base);
  if (found != by_base.end() && found->second == id) by_base.erase(found);
  o.live = false;
  o.bytes.clear();
  o.bytes.shrink_to_fit();
  free_ids.push_back(id);
}

Ptr Machine::pointer_to(std::uint32_t id, std::int32_t offset) const {
  return Ptr{id, offset, objects[id].base};
}

std::string Machine::describe(const Object& o) const {
  switch (o.kind) {
    case ObjectKind::global:
      return "global " + source_name(program->globals[o.owner].name);
    case ObjectKind::default_value:
      return "the default value of " +
             source_name(program->globals[o.owner].name);
    case ObjectKind::builtin:
      return "built-in variable " +
             std::string(builtin_variable_table()[o.owner].name);
    case ObjectKind::string:
      return "a string constant";
    case ObjectKind::heap:
      return "a block from malloc";
    case ObjectKind::local:
      return "a local variable";
    case ObjectKind::environment:
      return "an environment string";
  }
  return "an object";
}

Object& Machine::check(const Ptr& p, std::uint64_t n, bool write,
                       std::string_view what) {
  const std::string prefix = what.empty() ? "" : std::string(what) + ": ";
  if (p.id == 0) {
    if (p.offset == 0) fault(prefix + "null pointer dereferenced");
    fault(prefix + "pointer made from the integer " + num(p.offset) +
          " points into no object");
  }
  if (p.id >= objects.size() || !objects[p.id].live ||
      objects[p.id].base != p.base)
    fault(prefix +
          "dangling pointer: its memory was freed or its function returned");
  Object& o = objects[p.id];
  if (o.kind == ObjectKind::local && o.stack_byte + o.size > stack.size() * 4)
    fault(prefix + "dangling pointer to a local variable");
  if (p.offset < 0 || static_cast<std::uint64_t>(p.offset) + n > o.size)
    fault(prefix + "out-of-bounds access: " + num(static_cast<std::int64_t>(n)) +
          (n == 1 ? " byte" : " bytes") + " at offset " + num(p.offset) +
          " of " + describe(o) + " of " + num(o.size) + " bytes");
  if (write && o.read_only) fault(prefix + "write into " + describe(o));
  return o;
}

void Machine::read(const Ptr& p, std::size_t n, std::uint8_t* out) {
  Object& o = check(p, n, false);
  const auto at = static_cast<std::size_t>(p.offset);
  if (o.kind != ObjectKind::local) {
    if (n != 0) std::memcpy(out, o.bytes.data() + at, n);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t b = o.stack_byte + at + i;
    out[i] = static_cast<std::uint8_t>(stack[b / 4].value >> (8 * (b % 4)));
  }
}

void Machine::write(const Ptr& p, std::size_t n, const std::uint8_t* in) {
  Object& o = check(p, n, true);
  const auto at = static_cast<std::size_t>(p.offset);
  if (o.kind != ObjectKind::local) {
    if (n != 0) std::memmove(o.bytes.data() + at, in, n);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t b = o.stack_byte + at + i;
    Slot& s = stack[b / 4];
    const unsigned shift = 8 * (b % 4);
    s.value = (s.value & ~(0xFFu << shift)) | (std::uint32_t{in[i]} << shift);
    s.kind = SlotKind::word;
    s.count = 1;
    s.index = 0;
  }
}

void Machine::push_memory(const Ptr& p, std::size_t n) {
  // The stack's room is checked before the value is copied out, so that a
  // large object is never copied only to overflow the stack.
  const std::size_t value_words = (n + 3) / 4;
  if (value_words > options.stack_words - std::min(stack.size(), options.stack_words))
    fault("stack overflow (" + num(static_cast<std::int64_t>(options.stack_words)) +
          " words)");
  std::vector<std::uint8_t> bytes(value_words * 4, 0);
  read(p, n, bytes.data());
  std::vector<std::uint32_t> words(bytes.size() / 4);
  for (std::size_t i = 0; i < words.size(); ++i)
    words[i] = get_u32(bytes.data() + 4 * i);
  push_large(words.data(), words.size());
}

std::uint32_t Machine::read_u(const Ptr& p, std::size_t n) {
  std::uint8_t b[4] = {0, 0, 0, 0};
  read(p, n, b);
  return get_u32(b);
}

void Machine::write_u(const Ptr& p, std::size_t n, std::uint32_t v) {
  const std::uint8_t b[4] = {
      static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
      static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  write(p, n, b);
}

std::uint32_t Machine::pointer_to_int(const Ptr& p) const {
  if (p.id == 0) return static_cast<std::uint32_t>(p.offset);
  return p.base + static_cast<std::uint32_t>(p.offset);
}

Ptr Machine::int_to_pointer(std::uint32_t v) const {
  if (v == 0) return {};
  auto found = by_base.upper_bound(v);
  if (found != by_base.begin()) {
    --found;
    const Object& o = objects[found->second];
    if (o.live && v - o.base <= o.size)
      return Ptr{found->second, as_int(v - o.base), o.base};
  }
  return Ptr{0, as_int(v), 0};
}

std::uint32_t Machine::string_object(std::u16string_view text,
                                     bool read_only) {
  const auto size = static_cast<std::uint32_t>(2 * text.size() + 2);
  const std::uint32_t id = new_object(ObjectKind::string, size);
  Object& o = objects[id];
  for (std::size_t i = 0; i < text.size(); ++i) {
    o.bytes[2 * i] = static_cast<std::uint8_t>(text[i]);
    o.bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
  o.read_only = read_only;
  return id;
}

std::u16string Machine::read_string(const Ptr& p, std::string_view what) {
  check(p, 0, false, what);
  std::u16string out;
  Ptr at = p;
  for (;;) {
    const Object& o = objects[at.id];
    if (at.offset < 0 || static_cast<std::uint64_t>(at.offset) + 2 > o.size)
      fault(std::string(what) + ": the string has no terminating zero inside " +
            describe(o));
    const auto unit = static_cast<char16_t>(read_u(at, 2));
    if (unit == 0) return out;
    out.push_back(unit);
    at.offset += 2;
  }
}

void Machine::write_string(const Ptr& p, std::u16string_view s,
                           bool terminate) {
  std::vector<std::uint8_t> bytes(2 * s.size() + (terminate ? 2 : 0), 0);
  for (std::size_t i = 0; i < s.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(s[i]);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(s[i] >> 8);
  }
  write(p, bytes.size(), bytes.data());
}

// -------------------------------------------------------------------- stack

void Machine::push(const Slot& s) {
  if (stack.size() >= options.stack_words)
    fault("stack overflow (" + num(static_cast<std::int64_t>(options.stack_words)) +
          " words)");
  stack.push_back(s);
}

void Machine::push_word(std::uint32_t v) { push(Slot{v}); }

void Machine::push_large(const std::uint32_t* words, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    push(Slot{words[i], SlotKind::large, static_cast<std::uint32_t>(n),
              static_cast<std::uint32_t>(i), 0});
}

void Machine::push_pointer(const Ptr& p) {
  const std::uint32_t words[3] = {p.id, static_cast<std::uint32_t>(p.offset),
                                  p.base};
  push_large(words, 3);
}

void Machine::push_address(const Ptr& p, std::uint32_t load_size) {
  const std::uint32_t words[3] = {p.id, static_cast<std::uint32_t>(p.offset),
                                  p.base};
  for (std::uint32_t i = 0; i < 3; ++i)
    push(Slot{words[i], SlotKind::address, 3, i, load_size});
}

const Slot& Machine::top() const {
  if (stack.empty() ||
      (!frames.empty() && stack.size() <= frames.back().locals_end))
    fault("the operand stack is empty");
  return stack.back();
}

// Words of the value on top: the tags of a large value or address tell,
// anything else is one word.
std::size_t Machine::top_value_words() const {
  const Slot& s = top();
  if (s.kind == SlotKind::word || s.index + 1 != s.count) return 1;
  const std::size_t floor = frames.empty() ? 0 : frames.back().locals_end;
  if (s.count > stack.size() - floor)
    fault("a large value on the stack is cut short");
  return s.count;
}

std::uint32_t Machine::pop_scalar() {
  const Slot& s = top();
  if (s.kind == SlotKind::word) {
    const std::uint32_t v = s.value;
    stack.pop_back();
    return v;
  }
  if (s.kind == SlotKind::address)
    fault("an address is used as a value");
  if (s.count == 3 && s.index == 2) return pointer_to_int(pop_pointer());
  fault("a structure of " + num(s.count) +
        " words is used where a one-word value belongs");
}

Ptr Machine::pop_pointer() {
  const std::size_t floor = frames.empty() ? 0 : frames.back().locals_end;
  if (stack.size() < floor + 3) {
    if (stack.size() > floor && stack.back().kind == SlotKind::word)
      fault("an int is used where a pointer belongs");
    fault("the operand stack holds no pointer");
  }
  const Slot* w = &stack[stack.size() - 3];
  const bool tagged = w[0].kind == SlotKind::large && w[0].count == 3 &&
                      w[0].index == 0 && w[2].index == 2 &&
                      w[2].kind == SlotKind::large;
  const bool zeros = w[0].kind == SlotKind::word &&
                     w[1].kind == SlotKind::word &&
                     w[2].kind == SlotKind::word && w[0].value == 0 &&
                     w[1].value == 0 && w[2].value == 0;
  if (!tagged && !zeros) {
    if (stack.back().kind == SlotKind::word) {
      // One word where a pointer belongs: as OP_INT_TO_PTR would take it.
      fault("an int is used where a pointer belongs");
    }
    fault("a value of " + num(stack.back().count) +
          " words is used where a pointer belongs");
  }
  Ptr p{w[0].value, as_int(w[1].value), w[2].value};
  stack.resize(stack.size() - 3);
  return p;
}

Ptr Machine::pop_address() {
  const std::size_t floor = frames.empty() ? 0 : frames.back().locals_end;
  if (stack.size() < floor + 3 || stack.back().kind != SlotKind::address)
    fault("a load or store finds no address on the stack");
  const Slot* w = &stack[stack.size() - 3];
  Ptr p{w[0].value, as_int(w[1].value), w[2].value};
  stack.resize(stack.size() - 3);
  return p;
}

std::vector<Slot> Machine::pop_value() {
  const std::size_t n = top_value_words();
  std::vector<Slot> out(stack.end() - static_cast<std::ptrdiff_t>(n),
                        stack.end());
  stack.resize(stack.size() - n);
  return out;
}

void Machine::drop_top_value() { stack.resize(stack.size() - top_value_words()); }

// ------------------------------------------------------------------- buffer

int Machine::point() const {
  const Object& o = objects[builtin_objects[static_cast<std::size_t>(point_index)]];
  const auto p = static_cast<std::int32_t>(get_u32(o.bytes.data()));
  const auto size = static_cast<std::int32_t>(buffer.text.size());
  return std::clamp(p, 0, size);
}

void Machine::set_point(int position) {
  const int p =
      std::clamp(position, 0, static_cast<int>(buffer.text.size()));
  Object& o = objects[builtin_objects[static_cast<std::size_t>(point_index)]];
  for (int i = 0; i < 4; ++i)
    o.bytes[static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(p) >> (8 * i));
}

void Machine::insert_text(std::u16string_view text) {
  if (buffer.text.size() + text.size() > options.limits.buffer_characters)
    fault("the buffer would grow beyond 256M characters");
  const int at = point();
  const int n = static_cast<int>(text.size());
  buffer.text.insert(static_cast<std::size_t>(at), text);
  colors_inserted(buffer, at, n);
  for (Spot& s : buffer.spots)
    if (s.live && (s.position > at || (s.position == at && !s.stays_left)))
      s.position += n;
  set_point(at + n);
}

void Machine::delete_range(int from, int to) {
  const int size = static_cast<int>(buffer.text.size());
  int lo = std::clamp(std::min(from, to), 0, size);
  int hi = std::clamp(std::max(from, to), 0, size);
  const int n = hi - lo;
  if (n == 0) return;
  const int p = point();
  buffer.text.erase(static_cast<std::size_t>(lo), static_cast<std::size_t>(n));
  colors_deleted(buffer, lo, hi);
  auto adjust = [&](int pos) {
    if (pos >= hi) return pos - n;
    if (pos > lo) return lo;
    return pos;
  };
  for (Spot& s : buffer.spots)
    if (s.live) s.position = adjust(s.position);
  set_point(adjust(p));
}

Spot& Machine::spot(std::uint32_t value) {
  if (value == 0) fault("null spot used");
  if (value > buffer.spots.size()) fault("invalid spot " + num(value));
  Spot& s = buffer.spots[value - 1];
  if (!s.live) fault("spot " + num(value) + " was freed");
  return s;
}

int Machine::new_spot(int position, bool stays_left) {
  if (buffer.spots.size() >= 0x1000000) fault("too many spots");
  const int size = static_cast<int>(buffer.text.size());
  buffer.spots.push_back({std::clamp(position, 0, size), true, stays_left});
  return static_cast<int>(buffer.spots.size());
}

// ---------------------------------------------------------------- built-ins

std::uint32_t Machine::builtin_size(int index) const {
  return objects[builtin_objects[static_cast<std::size_t>(index)]].size;
}

void Machine::load_builtin(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= builtin_objects.size())
    fault("no built-in variable has the index " + num(index));
  const int code = builtin_types[static_cast<std::size_t>(index)];
  const auto& row = builtin_variable_table()[static_cast<std::size_t>(index)];
  if (row.array_count != 0)
    fault("built-in variable " + std::string(row.name) +
          " is an array and has no value of its own");
  if (index == point_index) set_point(point());
  const Ptr p = pointer_to(builtin_objects[static_cast<std::size_t>(index)]);
  const std::uint32_t size = builtin_size(index);
  if (size <= 4) {
    std::uint32_t v = read_u(p, size);
    if (size == 2 && code == type_code::short_)
      v = static_cast<std::uint32_t>(static_cast<std::int16_t>(v));
    push_word(v);
    return;
  }
  push_memory(p, size);
}

void Machine::store_builtin(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= builtin_objects.size())
    fault("no built-in variable has the index " + num(index));
  const auto& row = builtin_variable_table()[static_cast<std::size_t>(index)];
  if (row.array_count != 0)
    fault("built-in variable " + std::string(row.name) +
          " is an array and cannot be assigned");
  const Ptr p = pointer_to(builtin_objects[static_cast<std::size_t>(index)]);
  const std::uint32_t size = builtin_size(index);
  if (size <= 4) {
    const std::uint32_t v = pop_scalar();
    if (index == point_index) {
      set_point(as_int(v));
      return;
    }
    write_u(p, size, v);
    return;
  }
  std::vector<Slot> value = pop_value();
  if (value.size() * 4 < size)
    fault("a value of " + num(static_cast<std::int64_t>(value.size())) +
          " words is stored into built-in variable " + std::string(row.name) +
          " of " + num(size) + " bytes");
  write(p, size, value_bytes(value).data());
}

// ------------------------------------------------------------------ output

void Machine::print_out(std::string_view text) {
  if (output.out) {
    output.out(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

void Machine::print_err(std::string_view text) {
  primitive_err.append(text);
  std::fflush(stdout);
  if (output.err) {
    output.err(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

Object& Machine::builtin_object(std::string_view name) {
  const auto table = builtin_variable_table();
  for (std::size_t i = 0; i < table.size() && i < builtin_objects.size(); ++i)
    if (table[i].name == name) return objects[builtin_objects[i]];
  return objects[0];
}

void Machine::set_builtin_int(std::string_view name, std::int32_t value) {
  Object& o = builtin_object(name);
  const auto v = static_cast<std::uint32_t>(value);
  for (std::size_t b = 0; b < 4 && b < o.bytes.size(); ++b)
    o.bytes[b] = static_cast<std::uint8_t>(v >> (8 * b));
}

// Sign-extended from the variable's own size, as a load of it is.
std::int32_t Machine::builtin_int(std::string_view name) {
  const Object& o = builtin_object(name);
  std::uint32_t v = 0;
  const std::size_t n = std::min<std::size_t>(o.bytes.size(), 4);
  for (std::size_t b = 0; b < n; ++b) v |= std::uint32_t{o.bytes[b]} << (8 * b);
  if (n == 1) return static_cast<std::int8_t>(v);
  if (n == 2) return static_cast<std::int16_t>(v);
  return as_int(v);
}

Location Machine::location(std::size_t depth) const {
  Location where;
  if (depth >= frames.size()) return where;
  const Frame& f = frames[depth];
  const Function& fn = program->functions[f.function];
  where.function = source_name(fn.name);
  if (f.debug_file != 0xFFFFFFFF) {
    where.file = shown_file_name(*program, fn.file, f.debug_file);
    if (!where.file.empty()) where.line = f.debug_line;
  }
  return where;
}

std::string backtrace_line(const Location& where) {
  std::string line = "  in " + where.function;
  if (!where.file.empty())
    line += " at " + where.file + ":" + std::to_string(where.line);
  return line;
}

std::vector<std::string> backtrace_lines(const std::vector<Location>& calls) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < calls.size();) {
    const std::string line = backtrace_line(calls[i]);
    std::size_t same = i + 1;
    while (same < calls.size() && backtrace_line(calls[same]) == line) ++same;
    lines.push_back(line);
    if (same - i > 1)
      lines.push_back("  ... the same " + num(static_cast<std::int64_t>(same - i - 1)) +
                      " more times");
    i = same;
  }
  if (lines.size() <= backtrace_head + backtrace_tail + 1) return lines;
  std::vector<std::string> kept(lines.begin(),
                                lines.begin() + static_cast<std::ptrdiff_t>(backtrace_head));
  const std::size_t left_out = lines.size() - backtrace_head - backtrace_tail;
  kept.push_back("  ... " + num(static_cast<std::int64_t>(left_out)) + " more lines");
  kept.insert(kept.end(), lines.end() - static_cast<std::ptrdiff_t>(backtrace_tail),
              lines.end());
  return kept;
}

// ---------------------------------------------------------- calls, returns

void Machine::call_function(std::size_t index, std::uint8_t call_byte) {
  if (frames.size() >= options.max_depth)
    fault("stack overflow: calls nested " +
          num(static_cast<std::int64_t>(options.max_depth)) + " deep");
  const Function& fn = program->functions[index];
  const std::size_t pushed = call_byte & 0x7F;
  const std::size_t floor = frames.empty() ? 0 : frames.back().locals_end;
  if (stack.size() < floor + pushed)
    fault("the call of " + source_name(fn.name) + " finds fewer than " +
          num(static_cast<std::int64_t>(pushed)) + " argument words");
  if (stack.size() + 3 + static_cast<std::size_t>(fn.frame_words) >
      options.stack_words)
    fault("stack overflow (" +
          num(static_cast<std::int64_t>(options.stack_words)) + " words)");
  Frame f;
  f.function = index;
  f.args_base = stack.size() - pushed;
  f.call_byte = call_byte;
  f.serial = ++frame_serial;
  // Until its own debug records run, a call is placed where its code
  // begins, so that a fault on its first instruction names a line.
  const auto& c = fn.code;
  if (c.size() >= 8 && c[0] == op::debug_file && c[5] == op::debug_line) {
    f.debug_file = get_u32(c.data() + 1);
    f.debug_line = get_u16(c.data() + 6);
  }
  const std::size_t caller_function = frames.empty() ? 0 : frames.back().function;
  push_word(static_cast<std::uint32_t>(caller_function));
  push_word(frames.empty() ? 0 : static_cast<std::uint32_t>(frames.back().pc));
  push_word(static_cast<std::uint32_t>(frames.empty() ? 0 : frames.back().fp));
  f.fp = stack.size();
  stack.resize(stack.size() + static_cast<std::size_t>(fn.frame_words));
  f.locals_end = stack.size();
  frames.push_back(std::move(f));
}

void Machine::begin_return(bool has_result, std::vector<Slot> result) {
  Frame& f = frames.back();
  f.has_result = has_result;
  f.result = std::move(result);
  f.returning = true;
  continue_return();
}

// Runs what must run before the frame on top goes: its on_exit bodies
// (latest first), then the restore code of its saved variables (latest
// first); then the frame goes.
void Machine::continue_return() {
  Frame& f = frames.back();
  if (stack.size() > f.locals_end) stack.resize(f.locals_end);
  if (!f.handlers.empty()) {
    f.pc = f.handlers.back();
    f.handlers.pop_back();
    f.phase = Phase::exit_handler;
    return;
  }
  if (!f.saves.empty()) {
    SavedVariable saved = std::move(f.saves.back());
    f.saves.pop_back();
    f.phase = Phase::restore;
    f.pc = saved.restore_pc;
    if (saved.spot != 0) {
      Spot& s = spot(static_cast<std::uint32_t>(saved.spot));
      const int position = s.position;
      s.live = false;
      push_word(static_cast<std::uint32_t>(position));
    } else {
      for (const Slot& s : saved.value) push(s);
    }
    return;
  }
  finish_return();
}

void Machine::finish_return() {
  Frame f = std::move(frames.back());
  frames.pop_back();
  for (std::uint32_t id : f.views) kill_object(id);
  stack.resize(f.args_base);
  if (frames.empty()) {
    final_has_result = f.has_result;
    final_result = std::move(f.result);
    finished = true;
    if (unwinding && unwind_jump == 0) {
      outcome.kind = Outcome::Kind::aborted;
      outcome.status = abort_status;
      outcome.calls = {abort_where};
      outcome.text = abort_text;
    }
    return;
  }
  if (unwinding) {
    if (frames.size() > unwind_depth) {
      frames.back().returning = true;
      continue_return();
      return;
    }
    // Landing after longjmp.
    unwinding = false;
    const JumpPoint& j = jump_points[unwind_jump - 1];
    Frame& target = frames.back();
    if (stack.size() > j.sp) stack.resize(j.sp);
    if (stack.size() < j.sp) fault("longjmp finds the stack below its setjmp");
    target.pc = j.pc;
    push_word(static_cast<std::uint32_t>(unwind_value));
    return;
  }
  if ((f.call_byte & 0x80) != 0) {
    if (f.has_result) {
      for (const Slot& s : f.result) push(s);
    } else {
      push_word(0);
    }
  }
}

void Machine::handler_done() {
  Frame& f = frames.back();
  switch (f.phase) {
    case Phase::exit_handler:
    case Phase::restore:
      continue_return();
      return;
    case Phase::restore_vars:
      if (!f.saves.empty()) {
        start_restore_vars(f.resume_pc);
        return;
      }
      f.phase = Phase::body;
      if (stack.size() > f.resume_sp) stack.resize(f.resume_sp);
      f.pc = f.resume_pc;
      return;
    case Phase::body:
      fault("OP_END_HANDLER outside an on_exit body or restore code");
  }
}

void Machine::start_restore_vars(std::size_t resume_pc) {
  Frame& f = frames.back();
  if (f.saves.empty()) return;
  if (f.phase == Phase::body) f.resume_sp = stack.size();
  f.resume_pc = resume_pc;
  f.phase = Phase::restore_vars;
  SavedVariable saved = std::move(f.saves.back());
  f.saves.pop_back();
  f.pc = saved.restore_pc;
  if (saved.spot != 0) {
    Spot& s = spot(static_cast<std::uint32_t>(saved.spot));
    s.live = false;
    push_word(static_cast<std::uint32_t>(s.position));
  } else {
    for (const Slot& s : saved.value) push(s);
  }
}

void Machine::start_unwind(std::size_t depth, std::size_t jump,
                           std::int32_t value) {
  unwinding = true;
  unwind_depth = depth;
  unwind_jump = jump;
  unwind_value = value;
  if (frames.size() <= depth) {
    // A longjmp within the same call: no frame goes.
    unwinding = false;
    const JumpPoint& j = jump_points[jump - 1];
    Frame& target = frames.back();
    target.phase = Phase::body;
    target.returning = false;
    if (stack.size() > j.sp) stack.resize(j.sp);
    if (stack.size() < j.sp) fault("longjmp finds the stack below its setjmp");
    target.pc = j.pc;
    push_word(static_cast<std::uint32_t>(value));
    return;
  }
  Frame& f = frames.back();
  f.returning = true;
  f.has_result = false;
  f.result.clear();
  continue_return();
}

// The editor's error handling: a jump to *top_level when it holds a live
// setjmp buffer, else the end of the run with status 1, on_exit bodies and
// saved variables being run and restored on the way.
void Machine::abort_run(int status) {
  abort_status = status;
  if (!frames.empty()) abort_where = location(frames.size() - 1);
  abort_text = primitive_err;
  if (!abort_text.empty() && abort_text.back() == '\n') abort_text.pop_back();
  const Ptr buf = [&] {
    const Object& o =
        objects[builtin_objects[static_cast<std::size_t>(top_level_index)]];
    auto word = [&](int i) {
      return get_u32(o.bytes.data() + static_cast<std::size_t>(4 * i));
    };
    return Ptr{word(0), as_int(word(1)), word(2)};
  }();
  if (!buf.null()) {
    std::uint8_t head[8];
    read(buf, 8, head);
    const std::uint32_t magic = get_u32(head);
    const std::uint32_t index = get_u32(head + 4);
    if (magic == jump_magic && index >= 1 && index <= jump_points.size()) {
      const JumpPoint& j = jump_points[index - 1];
      if (j.depth >= 1 && j.depth <= frames.size() &&
          frames[j.depth - 1].serial == j.frame_serial) {
        start_unwind(j.depth, index, 1);
        return;
      }
    }
  }
  start_unwind(0, 0, 0);
}

// ------------------------------------------------------------------ running

namespace {

// Where a jump whose displacement counts from `from` lands; it must stay
// inside the code.
std::size_t jump_target(const std::vector<std::uint8_t>& code,
                        std::int16_t disp, std::size_t from) {
  const auto target = static_cast<std::int64_t>(from) + disp;
  if (target < 0 || target >= static_cast<std::int64_t>(code.size()))
    fault("a jump leaves the code");
  return static_cast<std::size_t>(target);
}

std::uint32_t arithmetic(std::uint8_t opcode, std::uint32_t a, std::uint32_t b) {
  const std::int32_t sa = as_int(a), sb = as_int(b);
  switch (opcode) {
    case op::add:
      return a + b;
    case op::sub:
      return a - b;
    case op::mul:
      return a * b;
    case op::div:
      if (b == 0) fault("division by zero");
      if (sa == INT32_MIN && sb == -1) return a;
      return static_cast<std::uint32_t>(sa / sb);
    case op::mod:
      if (b == 0) fault("division by zero (remainder)");
      if (sa == INT32_MIN && sb == -1) return 0;
      return static_cast<std::uint32_t>(sa % sb);
    case op::and_:
      return a & b;
    case op::or_:
      return a | b;
    case op::xor_:
      return a ^ b;
    case op::shift: {
      // Right by b; a negative count shifts left.  Counts are taken modulo
      // 32, as the compiler folds constants.
      if (sb >= 0) return static_cast<std::uint32_t>(sa >> (b & 31));
      return a << ((0u - b) & 31);
    }
    case op::gt:
      return sa > sb;
    case op::ge:
      return sa >= sb;
    case op::lt:
      return sa < sb;
    case op::le:
      return sa <= sb;
    case op::eq:
      return a == b;
    case op::ne:
      return a != b;
    default:
      fault("internal: bad arithmetic instruction");
  }
}

}  // namespace

// Operands are read with bounds checks; one that runs past the end of the
// code is a fault of the program being run.
void Machine::execute() {
  try {
    run_instructions();
  } catch (const ReadPastEnd&) {
    fault("an instruction runs past the end of the code");
  }
}

void Machine::run_instructions() {
  while (!finished) {
    Frame& f = frames.back();
    const Function& fn = program->functions[f.function];
    const std::vector<std::uint8_t>& code = fn.code;
    ByteReader r{code, f.pc};
    std::size_t& pc = r.pos;
    if (options.max_steps != 0 && ++steps > options.max_steps)
      fault("the step limit of " +
            num(static_cast<std::int64_t>(options.max_steps)) +
            " instructions is reached");
    const std::uint8_t opcode = r.u8();

    // A frame slot by offset; `words` words must lie among the parameters
    // or among the locals.
    auto slot_index = [&](std::int64_t offset, std::size_t words) {
      const auto at = static_cast<std::int64_t>(f.fp) + offset;
      const auto end = at + static_cast<std::int64_t>(words);
      const bool in_params = at >= static_cast<std::int64_t>(f.args_base) &&
                             end <= static_cast<std::int64_t>(f.fp) - 3;
      const bool in_locals = at >= static_cast<std::int64_t>(f.fp) &&
                             end <= static_cast<std::int64_t>(f.locals_end);
      if (!in_params && !in_locals) {
        if (offset < 0)
          fault("frame offset " + num(offset) +
                " lies outside the arguments that were passed");
        fault("frame offset " + num(offset) + " lies outside the " +
              num(fn.frame_words) + " local words");
      }
      return static_cast<std::size_t>(at);
    };
    // Words of the large variable at a frame slot: what its tags say when
    // a whole value was stored there, else a pointer's 3.
    auto large_words = [&](std::int64_t offset) -> std::size_t {
      const auto at = static_cast<std::int64_t>(f.fp) + offset;
      if (at >= 0 && static_cast<std::size_t>(at) < stack.size()) {
        const Slot& s = stack[static_cast<std::size_t>(at)];
        if (s.kind == SlotKind::large && s.index == 0 && s.count > 1)
          return s.count;
      }
      return 3;
    };
    auto load_local_large = [&](std::int64_t offset) {
      const std::size_t n = large_words(offset);
      const std::size_t at = slot_index(offset, n);
      std::vector<std::uint32_t> words(n);
      for (std::size_t i = 0; i < n; ++i) words[i] = stack[at + i].value;
      push_large(words.data(), n);
    };
    auto store_local_large = [&](std::int64_t offset) {
      std::vector<Slot> value = pop_value();
      const std::size_t at = slot_index(offset, value.size());
      for (std::size_t i = 0; i < value.size(); ++i) {
        Slot s = value[i];
        s.kind = value.size() == 1 ? SlotKind::word : SlotKind::large;
        stack[at + i] = s;
      }
    };
    auto narrow_value = [](std::uint8_t kind, std::uint32_t v) -> std::uint32_t {
      switch (kind & 3) {
        case narrow::byte_value:
          return v & 0xFF;
        case narrow::short_value:
          return static_cast<std::uint32_t>(
              static_cast<std::int16_t>(static_cast<std::uint16_t>(v)));
        default:
          return v & 0xFFFF;
      }
    };
    auto global_object = [&](std::int32_t index) -> std::uint32_t {
      if (index < 0 || static_cast<std::size_t>(index) >= global_objects.size())
        fault("internal: unresolved name reference");
      const auto i = static_cast<std::size_t>(index);
      if (default_access) {
        if (default_objects[i] == 0)
          fault(source_name(program->globals[i].name) +
                " is neither buffer- nor window-specific and has no "
                "default value");
        return default_objects[i];
      }
      return global_objects[i];
    };
    auto name_target = [&](std::size_t at) {
      return at < fn.target_at.size() ? fn.target_at[at] : -1;
    };
    auto local_view = [&](std::int64_t offset, std::uint32_t size) {
      const auto at = static_cast<std::int64_t>(f.fp) + offset;
      const std::int64_t byte = at * 4;
      const std::int64_t end = byte + static_cast<std::int64_t>(size);
      const bool in_params =
          byte >= static_cast<std::int64_t>(f.args_base) * 4 &&
          end <= (static_cast<std::int64_t>(f.fp) - 3) * 4;
      const bool in_locals = byte >= static_cast<std::int64_t>(f.fp) * 4 &&
                             end <= static_cast<std::int64_t>(f.locals_end) * 4;
      if (!in_params && !in_locals)
        fault("the address of frame offset " + num(offset) + " (" +
              num(size) + " bytes) lies outside the frame");
      for (std::uint32_t id : f.views)
        if (objects[id].stack_byte == static_cast<std::size_t>(byte) &&
            objects[id].size == size)
          return pointer_to(id);
      const std::uint32_t id = new_object(ObjectKind::local, size);
      Object& o = objects[id];
      o.stack_byte = static_cast<std::size_t>(byte);
      o.base = local_region + static_cast<std::uint32_t>(byte);
      by_base.emplace(o.base, id);
      frames.back().views.push_back(id);
      return pointer_to(id);
    };
    // The size operand is not needed: the object knows its own size.
    auto builtin_pointer = [&](int index) {
      if (index < 0 || static_cast<std::size_t>(index) >= builtin_objects.size())
        fault("no built-in variable has the index " + num(index));
      if (index == point_index) set_point(point());
      return pointer_to(builtin_objects[static_cast<std::size_t>(index)]);
    };
    auto load_by_size = [&](std::size_t n) {
      const Ptr a = pop_address();
      push_word(read_u(a, n));
    };
    auto store_by_size = [&](std::size_t n) {
      const Ptr a = pop_address();
      const std::uint32_t v = pop_scalar();
      write_u(a, n, v);
    };
    auto inc = [&](std::uint8_t mode, std::uint32_t old, std::int8_t amount) {
      const std::uint32_t now = old + static_cast<std::uint32_t>(amount);
      if (mode == inc_mode::value_before) push_word(old);
      else if (mode == inc_mode::value_after) push_word(now);
      else if (mode != inc_mode::no_value)
        fault("in-place increment with the unknown mode " + num(mode));
      return now;
    };

    if (opcode >= op::first_primitive && opcode <= op::last_primitive) {
      f.pc = pc;
      call_primitive(opcode, pc);
      continue;
    }
    switch (opcode) {
      case op::push_i8:
        push_word(static_cast<std::uint32_t>(r.s8()));
        break;
      case op::push_i32:
        push_word(r.u32());
        break;
      case op::push_string: {
        const std::uint32_t offset = r.u32();
        const auto key = std::make_pair(fn.file, offset);
        auto found = strings.find(key);
        std::uint32_t id;
        if (found != strings.end()) {
          id = found->second;
        } else {
          const auto& pool = program->files[fn.file].pool;
          if (offset > pool.size() || pool.size() - offset < 6)
            fault("string constant " + num(offset) + " lies outside the pool");
          const std::uint32_t length = get_u32(pool.data() + offset);
          if (length < 2 || length % 2 != 0 ||
              length > pool.size() - offset - 4)
            fault("string constant " + num(offset) + " is malformed");
          std::u16string text;
          for (std::size_t i = 0; i + 2 < length; i += 2)
            text.push_back(
                static_cast<char16_t>(get_u16(pool.data() + offset + 4 + i)));
          id = string_object(text, true);
          strings.emplace(key, id);
        }
        push_pointer(pointer_to(id));
        break;
      }
      case op::push_null:
        push_pointer(Ptr{});
        break;
      case op::push_color_class: {
        const auto stored = r.name();
        const std::string name(stored.begin(), stored.end());
        auto found = std::find(color_classes.begin(), color_classes.end(), name);
        if (found == color_classes.end()) {
          color_classes.push_back(name);
          found = color_classes.end() - 1;
        }
        push_word(static_cast<std::uint32_t>(found - color_classes.begin()));
        break;
      }
      case op::jump: {
        const std::int16_t disp = r.s16();
        pc = jump_target(code, disp, pc);
        break;
      }
      case op::jump_if_true:
      case op::jump_if_false: {
        const std::int16_t disp = r.s16();
        const bool v = pop_scalar() != 0;
        if (v == (opcode == op::jump_if_true)) pc = jump_target(code, disp, pc);
        break;
      }
      case op::call: {
        const std::int32_t target = name_target(pc);
        r.u16();
        const std::uint8_t call_byte = r.u8();
        if (target < 0) fault("internal: unresolved function reference");
        f.pc = pc;
        call_function(static_cast<std::size_t>(target), call_byte);
        continue;
      }
      case op::call_indirect: {
        const std::uint8_t call_byte = r.u8();
        const std::uint32_t v = pop_scalar();
        if (v == 0) fault("call through a null function pointer");
        if (v > program->functions.size())
          fault("call through the invalid function pointer " + num(v));
        f.pc = pc;
        call_function(v - 1, call_byte);
        continue;
      }
      case op::return_value: {
        std::vector<Slot> result{Slot{pop_scalar()}};
        f.pc = pc;
        begin_return(true, std::move(result));
        continue;
      }
      case op::return_large: {
        std::vector<Slot> result = pop_value();
        f.pc = pc;
        begin_return(true, std::move(result));
        continue;
      }
      case op::return_:
        f.pc = pc;
        begin_return(false, {});
        continue;
      case op::add:
      case op::sub:
      case op::add_scaled: {
        std::int8_t factor = 1;
        if (opcode == op::add_scaled) factor = r.s8();
        const bool b_large = top_value_words() > 1;
        if (b_large) {
          // Pointer minus pointer: the distance in bytes.
          const Ptr b = pop_pointer();
          if (opcode != op::sub || top_value_words() != 3)
            fault("a pointer is added to a value");
          const Ptr a = pop_pointer();
          push_word(pointer_to_int(a) - pointer_to_int(b));
          break;
        }
        const std::uint32_t b =
            pop_scalar() * static_cast<std::uint32_t>(static_cast<std::int32_t>(factor));
        if (top_value_words() > 1) {
          Ptr a = pop_pointer();
          const std::uint32_t off = static_cast<std::uint32_t>(a.offset);
          a.offset = as_int(opcode == op::sub ? off - b : off + b);
          push_pointer(a);
          break;
        }
        const std::uint32_t a = pop_scalar();
        push_word(opcode == op::sub ? a - b : a + b);
        break;
      }
      case op::mul:
      case op::div:
      case op::mod:
      case op::and_:
      case op::or_:
      case op::xor_:
      case op::shift:
      // Pointers compare by address; a null pointer is address 0.
      case op::gt:
      case op::ge:
      case op::lt:
      case op::le:
      case op::eq:
      case op::ne: {
        const std::uint32_t b = pop_scalar();
        const std::uint32_t a = pop_scalar();
        push_word(arithmetic(opcode, a, b));
        break;
      }
      case op::not_:
        push_word(pop_scalar() == 0 ? 1 : 0);
        break;
      case op::neg:
        push_word(0u - pop_scalar());
        break;
      case op::load_local:
      case op::load_local_wide: {
        const int offset = opcode == op::load_local ? r.s8() : r.u16();
        push_word(stack[slot_index(offset, 1)].value);
        break;
      }
      case op::store_local:
      case op::store_local_wide: {
        const int offset = opcode == op::store_local ? r.s8() : r.u16();
        const std::size_t at = slot_index(offset, 1);
        stack[at] = Slot{pop_scalar()};
        break;
      }
      case op::load_local_large:
      case op::load_local_large_wide:
        load_local_large(opcode == op::load_local_large ? r.s8() : r.u16());
        break;
      case op::store_local_large:
      case op::store_local_large_wide:
        store_local_large(opcode == op::store_local_large ? r.s8() : r.u16());
        break;
      case op::load_local_narrow:
      case op::store_local_narrow: {
        const std::uint8_t kind = r.u8();
        if ((kind & ~7) != 0 || (kind & 3) == 3)
          fault("narrow local access with the unknown kind " + num(kind));
        const std::int64_t offset =
            (kind & narrow::wide_offset) != 0 ? r.u16() : r.s8();
        const std::size_t at = slot_index(offset, 1);
        const std::uint32_t mask = (kind & 3) == narrow::byte_value ? 0xFF : 0xFFFF;
        if (opcode == op::load_local_narrow) {
          push_word(narrow_value(kind, stack[at].value & mask));
        } else {
          const std::uint32_t v = pop_scalar();
          Slot& s = stack[at];
          s.value = (s.value & ~mask) | (v & mask);
          s.kind = SlotKind::word;
          s.count = 1;
          s.index = 0;
        }
        break;
      }
      case op::load_builtin:
        load_builtin(r.u8());
        break;
      case op::store_builtin:
        store_builtin(r.u8());
        break;
      case op::load_iter:
        load_builtin(iter_index);
        break;
      case op::load_point:
        load_builtin(point_index);
        break;
      case op::load_key:
        load_builtin(key_index);
        break;
      case op::store_iter:
        store_builtin(iter_index);
        break;
      case op::store_point:
        store_builtin(point_index);
        break;
      case op::store_key:
        store_builtin(key_index);
        break;
      case op::load_key_type:
        load_builtin(key_type_index);
        break;
      case op::load_cmd_len:
        load_builtin(cmd_len_index);
        break;
      case op::load_ungot_key:
        load_builtin(ungot_key_index);
        break;
      case op::save_var: {
        const std::uint8_t flags = r.u8();
        const std::uint8_t length = r.u8();
        const std::size_t restore = pc;
        r.take(length);
        const std::size_t words = flags & save_flags::words_mask;
        SavedVariable saved;
        saved.restore_pc = restore;
        if ((flags & save_flags::spot) != 0) {
          saved.spot = new_spot(as_int(pop_scalar()), false);
        } else if (words <= 1) {
          saved.value.push_back(Slot{pop_scalar()});
        } else {
          saved.value = pop_value();
          if (saved.value.size() != words)
            fault("save_var of " + num(static_cast<std::int64_t>(words)) +
                  " words finds a value of " +
                  num(static_cast<std::int64_t>(saved.value.size())));
        }
        frames.back().saves.push_back(std::move(saved));
        break;
      }
      case op::end_handler:
        f.pc = pc;
        handler_done();
        continue;
      case op::on_exit: {
        const std::int16_t disp = r.s16();
        const std::size_t body = pc;
        pc = jump_target(code, disp, pc);
        auto& handlers = f.handlers;
        if (std::find(handlers.begin(), handlers.end(), body) == handlers.end())
          handlers.push_back(body);
        break;
      }
      case op::addr_local: {
        const std::int8_t offset = r.s8();
        const std::uint32_t size = r.u32();
        push_pointer(local_view(offset, size));
        break;
      }
      case op::addr_builtin: {
        const std::uint8_t index = r.u8();
        r.u32();
        push_pointer(builtin_pointer(index));
        break;
      }
      case op::addr_local_wide: {
        // The same instruction serves frame offsets and built-in variable
        // numbers above 127.  A number inside this function's locals is a
        // frame offset; any other is a built-in variable's number with its
        // buffer and window flags.
        const std::uint16_t operand = r.u16();
        const std::uint32_t size = r.u32();
        if (operand < fn.frame_words) {
          push_pointer(local_view(operand, size));
        } else {
          push_pointer(builtin_pointer(operand & 0x3FF));
        }
        break;
      }
      case op::global_ref: {
        const std::int32_t target = name_target(pc);
        r.u16();
        const std::uint32_t id = global_object(target);
        push_address(pointer_to(id), objects[id].size);
        break;
      }
      case op::addr_global: {
        const std::int32_t target = name_target(pc);
        r.u16();
        push_pointer(pointer_to(global_object(target)));
        break;
      }
      case op::load_global_2:
      case op::store_global_2: {
        const std::int32_t target = name_target(pc);
        r.u16();
        const Ptr p = pointer_to(global_object(target));
        if (opcode == op::store_global_2) {
          write_u(p, 2, pop_scalar());
          break;
        }
        std::uint32_t v = read_u(p, 2);
        const Global& g = program->globals[static_cast<std::size_t>(target)];
        if ((g.attributes & 0x0F) == attribute::class_short)
          v = static_cast<std::uint32_t>(static_cast<std::int16_t>(v));
        push_word(v);
        break;
      }
      case op::deref:
        push_address(pop_pointer(), 0);
        break;
      case op::ptr_to_int:
        if (top_value_words() > 1) push_word(pointer_to_int(pop_pointer()));
        break;
      case op::ptr_operands:
        break;
      case op::int_to_ptr:
        push_pointer(int_to_pointer(pop_scalar()));
        break;
      case op::push_function: {
        const std::int32_t target = name_target(pc);
        r.u16();
        if (target < 0) fault("internal: unresolved function reference");
        push_word(static_cast<std::uint32_t>(target) + 1);
        break;
      }
      case op::load_1:
        load_by_size(1);
        break;
      case op::load_2:
        load_by_size(2);
        break;
      case op::load_4: {
        const Ptr a = pop_address();
        check(a, 0, false);
        push_word(read_u(a, word_access_size(objects[a.id], a)));
        break;
      }
      case op::load_large: {
        const Slot& s = top();
        std::uint32_t size = s.kind == SlotKind::address && s.load_size > 4
                                 ? s.load_size
                                 : 12;
        const Ptr a = pop_address();
        // Through OP_DEREF the size is a pointer's, unless the object ends
        // sooner: then it is a small structure read to the object's end.
        if (size == 12) {
          check(a, 0, false);
          const std::uint32_t size_of_object = objects[a.id].size;
          if (a.offset >= 0 && size_of_object > static_cast<std::uint32_t>(a.offset) + 4 &&
              size_of_object < static_cast<std::uint32_t>(a.offset) + 12)
            size = size_of_object - static_cast<std::uint32_t>(a.offset);
        }
        push_memory(a, size);
        break;
      }
      case op::store_1:
        store_by_size(1);
        break;
      case op::store_2:
        store_by_size(2);
        break;
      case op::store_4: {
        const Ptr a = pop_address();
        const std::uint32_t v = pop_scalar();
        check(a, 0, true);
        write_u(a, word_access_size(objects[a.id], a), v);
        break;
      }
      case op::store_large: {
        const Ptr a = pop_address();
        std::vector<Slot> value = pop_value();
        const ByteBuffer bytes = value_bytes(value);
        write(a, bytes.size(), bytes.data());
        const Object& o = objects[a.id];
        if (o.kind == ObjectKind::local && value.size() > 1) {
          const std::size_t byte = o.stack_byte + static_cast<std::size_t>(a.offset);
          if (byte % 4 == 0)
            for (std::size_t i = 0; i < value.size(); ++i) {
              Slot& s = stack[byte / 4 + i];
              s.kind = SlotKind::large;
              s.count = static_cast<std::uint32_t>(value.size());
              s.index = static_cast<std::uint32_t>(i);
            }
        }
        break;
      }
      case op::pop:
      case op::pop_large:
        drop_top_value();
        break;
      case op::dup:
      case op::dup_large: {
        const std::size_t n = top_value_words();
        const std::size_t from = stack.size() - n;
        for (std::size_t i = 0; i < n; ++i) push(stack[from + i]);
        break;
      }
      case op::debug_file:
        f.debug_file = r.u32();
        break;
      case op::debug_line:
        f.debug_line = r.u16();
        break;
      case op::inc_local: {
        const std::int8_t amount = r.s8();
        const std::uint8_t mode = r.u8();
        const std::size_t at = slot_index(r.s8(), 1);
        const std::uint32_t now = inc(mode, stack[at].value, amount);
        stack[at] = Slot{now};
        break;
      }
      case op::inc_builtin: {
        const std::int8_t amount = r.s8();
        const std::uint8_t mode = r.u8();
        const int index = r.u8();
        load_builtin(index);
        const std::uint32_t old = pop_scalar();
        const std::uint32_t now = inc(mode, old, amount);
        const std::size_t saved = stack.size();
        push_word(now);
        store_builtin(index);
        if (stack.size() != saved) fault("internal: in-place increment");
        break;
      }
      case op::push_zero:
        push_word(0);
        break;
      case op::jump_if_eq_const:
      case op::jump_if_ne_const: {
        const auto constant = static_cast<std::uint32_t>(r.s8());
        const std::int16_t disp = r.s16();
        const bool equal = pop_scalar() == constant;
        if (equal == (opcode == op::jump_if_eq_const)) pc = jump_target(code, disp, pc);
        break;
      }
      case op::switch_: {
        const std::uint16_t count = r.u16();
        const std::size_t table = pc;
        r.take(std::size_t{count} * 6);
        const std::size_t end = pc;
        const std::uint32_t v = pop_scalar();
        for (std::size_t e = 0; e < count; ++e) {
          ByteReader entry{code, table + 6 * e};
          const std::int16_t disp = entry.s16();
          if (entry.u32() == v) {
            pc = jump_target(code, disp, end);
            break;
          }
        }
        break;
      }
      case op::load_spot:
        push_word(static_cast<std::uint32_t>(spot(pop_scalar()).position));
        break;
      case op::store_spot: {
        Spot& s = spot(pop_scalar());
        const int size = static_cast<int>(buffer.text.size());
        s.position = std::clamp(as_int(pop_scalar()), 0, size);
        break;
      }
      case op::primitive_ext: {
        const std::uint8_t low = r.u8();
        f.pc = pc;
        call_primitive(op::extended_primitive_base + low, pc);
        continue;
      }
      case op::default_begin:
        default_access = true;
        break;
      case op::default_end:
        default_access = false;
        break;
      default:
        fault("unknown instruction " + num(opcode));
    }
    frames.back().pc = pc;
  }
}

void Machine::call_primitive(int number, std::size_t& pc) {
  const PrimitiveRow* row = find_primitive_by_number(number);
  if (row == nullptr) fault("unknown primitive number " + num(number));
  int words = row->max_words;
  bool wanted = row->result_code != 0;
  if (row->max_words == -1) {
    ByteReader r{program->functions[frames.back().function].code, pc};
    const std::uint8_t call_byte = r.u8();
    pc = r.pos;
    words = call_byte & 0x7F;
    wanted = (call_byte & 0x80) != 0;
  }
  frames.back().pc = pc;
  primitive_err.clear();
  run_primitive(*this, number, words, wanted, pc);
}

// ------------------------------------------------------------------- start

namespace {

void set_pointer_bytes(Object& o, std::size_t at, const Ptr& p) {
  const std::uint32_t words[3] = {p.id, static_cast<std::uint32_t>(p.offset),
                                  p.base};
  for (std::size_t w = 0; w < 3; ++w)
    for (std::size_t b = 0; b < 4; ++b)
      o.bytes[at + 4 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
}

void set_int_bytes(Object& o, std::uint32_t v) {
  for (std::size_t b = 0; b < 4 && b < o.bytes.size(); ++b)
    o.bytes[b] = static_cast<std::uint8_t>(v >> (8 * b));
}

void set_up(Machine& m) {
  const Program& program = *m.program;
  m.objects.emplace_back();  // id 0 stands for null
  m.color_classes = program.color_classes;

  // Globals, and the default values of buffer and window variables, within
  // the runner's limit for all of them together.
  std::uint64_t global_bytes = 0;
  for (const Global& g : program.globals) {
    const bool with_default = g.kind == record::buffer_variable ||
                              g.kind == record::window_variable;
    global_bytes += std::uint64_t{g.size} * (with_default ? 2 : 1);
  }
  if (global_bytes > m.options.limits.globals)
    fault("the global variables take " + num(static_cast<std::int64_t>(global_bytes)) +
          " bytes, more than the " + num(static_cast<std::int64_t>(m.options.limits.globals)) +
          " the runner allows");
  for (std::size_t i = 0; i < program.globals.size(); ++i) {
    const Global& g = program.globals[i];
    const std::uint32_t id = m.new_object(ObjectKind::global, g.size);
    m.objects[id].owner = i;
    const std::size_t n = std::min<std::size_t>(g.data.size(), g.size);
    std::copy_n(g.data.begin(), n, m.objects[id].bytes.begin());
    m.global_objects.push_back(id);
    std::uint32_t default_id = 0;
    if (g.kind == record::buffer_variable || g.kind == record::window_variable) {
      default_id = m.new_object(ObjectKind::default_value, g.size);
      m.objects[default_id].owner = i;
      m.objects[default_id].bytes = m.objects[id].bytes;
    }
    m.default_objects.push_back(default_id);
  }

  // Built-in variables.
  const auto table = builtin_variable_table();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const VariableRow& row = table[i];
    std::uint32_t size = type_code_size(row.type_code);
    if (row.array_count != 0) {
      // Array elements are measured unrounded: char 2, pointer 12.
      size *= static_cast<std::uint32_t>(row.array_count);
    }
    const std::uint32_t id = m.new_object(ObjectKind::builtin, size);
    m.objects[id].owner = i;
    m.builtin_objects.push_back(id);
    m.builtin_types.push_back(row.type_code);
    const std::string_view name = row.name;
    const int index = static_cast<int>(i);
    if (name == "point") m.point_index = index;
    if (name == "iter") m.iter_index = index;
    if (name == "key") m.key_index = index;
    if (name == "key_type") m.key_type_index = index;
    if (name == "cmd_len") m.cmd_len_index = index;
    if (name == "ungot_key") m.ungot_key_index = index;
    if (name == "top_level") m.top_level_index = index;
    if (name == "errno") m.errno_index = index;
  }
  auto builtin = [&](std::string_view name) -> Object& {
    for (std::size_t i = 0; i < table.size(); ++i)
      if (table[i].name == name) return m.objects[m.builtin_objects[i]];
    return m.objects[0];
  };
  auto new_string = [&](const std::string& text) {
    return m.pointer_to(m.string_object(from_utf8(text), false));
  };
  Object& argv = builtin("argv");
  const std::size_t argc =
      std::min<std::size_t>(m.options.arguments.size(), argv.size / 12);
  for (std::size_t i = 0; i < argc; ++i)
    set_pointer_bytes(builtin("argv"), 12 * i, new_string(m.options.arguments[i]));
  set_int_bytes(builtin("argc"), static_cast<std::uint32_t>(argc));
  set_pointer_bytes(builtin("version"), 0, new_string("qxlrun"));
  set_pointer_bytes(builtin("bufname"), 0, new_string("main"));
  set_int_bytes(builtin("bufnum"), 1);
  set_int_bytes(builtin("window_number"), 1);
  set_int_bytes(builtin("window_bufnum"), 1);
  set_int_bytes(builtin("screen_lines"), 25);
  set_int_bytes(builtin("screen_cols"), 80);
  set_int_bytes(builtin("window_height"), 24);
  set_int_bytes(builtin("window_width"), 80);
  set_int_bytes(builtin("is_unix"), 1);
  set_int_bytes(builtin("path_sep"), '/');
  set_int_bytes(builtin("path_list_char"), ':');
}

}  // namespace

void start_machine(Machine& m, const Program& program, const Options& options,
                   const Output& output) {
  m.program = &program;
  m.options = options;
  m.output = output;
  set_up(m);
  m.buffer.text = options.buffer_text;
  m.set_point(options.point);
  m.key_script = options.keys;
  m.next_key = 0;
}

Outcome call_from_top(Machine& m, std::size_t function, bool has_arg,
                      std::int32_t iter) {
  m.stack.clear();
  m.frames.clear();
  m.finished = false;
  m.unwinding = false;
  m.default_access = false;
  m.outcome = Outcome{};
  m.final_result.clear();
  m.final_has_result = false;
  m.abort_status = 1;
  Outcome result;
  try {
    m.set_builtin_int("has_arg", has_arg ? 1 : 0);
    m.set_builtin_int("iter", iter);
    const Function& fn = m.program->functions[function];
    for (int i = 0; i < fn.argument_words; ++i) m.push_word(0);
    m.call_function(function, call_byte(fn.argument_words, true));
    m.execute();
  } catch (const Fault& failure) {
    result.kind = Outcome::Kind::fault;
    result.status = 3;
    if (m.frames.empty()) {
      result.message = failure.message;
      return result;
    }
    const Location where = m.location(m.frames.size() - 1);
    const std::string at =
        where.file.empty() ? "" : where.file + " " + std::to_string(where.line) + ": ";
    result.message = at + failure.message + " (in function " + where.function + ")";
    result.text = failure.message;
    for (std::size_t d = m.frames.size(); d-- > 0;)
      result.calls.push_back(m.location(d));
    return result;
  }
  // leave() ends the run where it is called, with its frames standing.
  if (m.outcome.kind == Outcome::Kind::left && !m.frames.empty())
    m.outcome.calls = {m.location(m.frames.size() - 1)};
  if (m.outcome.kind != Outcome::Kind::returned) return m.outcome;
  if (m.final_has_result && m.final_result.size() == 1)
    result.status = static_cast<int>(m.final_result[0].value & 0xFF);
  return result;
}

Outcome run(const Program& program, const Options& options,
            const Output& output) {
  Machine m;
  auto found = program.names.find(stored_name(options.function));
  if (found == program.names.end() || !found->second.is_function) {
    Outcome result;
    result.kind = Outcome::Kind::fault;
    result.status = 2;
    result.message = "no function named " + options.function;
    return result;
  }
  try {
    start_machine(m, program, options, output);
  } catch (const Fault& failure) {
    Outcome result;
    result.kind = Outcome::Kind::fault;
    result.status = 3;
    result.message = failure.message;
    return result;
  }
  return call_from_top(m, found->second.index, options.has_arg, options.iter);
}

}  // namespace qxl::run
