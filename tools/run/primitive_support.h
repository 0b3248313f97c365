// What the primitives of qxlrun share: the arguments of one call, taken
// off the stack, the result a primitive leaves, and the checks every
// length, count and position goes through before anything is allocated
// or looped over.  Each family of primitives lists its rows (name, handler
// and a line on its behaviour) for the dispatch in primitives.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/machine.h"

namespace qxl::run::prim {

inline std::string num(std::int64_t v) { return std::to_string(v); }

// The arguments of one call, taken off the stack: the first one is at the
// end of `slots`.
struct Args {
  Machine& m;
  std::string_view name;
  std::vector<Slot> slots;
  std::size_t end = 0;
  int taken = 0;

  [[noreturn]] void fail(const std::string& what) const {
    fault(std::string(name) + ": " + what);
  }

  std::int32_t integer() {
    ++taken;
    if (end == 0) fail("too few arguments");
    const Slot& s = slots[end - 1];
    if (s.kind == SlotKind::word) {
      --end;
      return static_cast<std::int32_t>(s.value);
    }
    if (s.kind == SlotKind::large && s.count == 3 && s.index == 2 && end >= 3) {
      const Ptr p{slots[end - 3].value,
                  static_cast<std::int32_t>(slots[end - 2].value),
                  slots[end - 1].value};
      end -= 3;
      return static_cast<std::int32_t>(m.pointer_to_int(p));
    }
    fail("argument " + num(taken) + " is a structure, not an int");
  }

  Ptr pointer() {
    ++taken;
    if (end < 3) fail("too few arguments");
    const Slot* w = &slots[end - 3];
    const bool tagged = w[0].kind == SlotKind::large && w[0].count == 3 &&
                        w[0].index == 0 && w[2].kind == SlotKind::large &&
                        w[2].index == 2;
    const bool zeros = w[0].kind == SlotKind::word &&
                       w[1].kind == SlotKind::word &&
                       w[2].kind == SlotKind::word && w[0].value == 0 &&
                       w[1].value == 0 && w[2].value == 0;
    if (!tagged && !zeros) fail("argument " + num(taken) + " is not a pointer");
    end -= 3;
    return Ptr{w[0].value, static_cast<std::int32_t>(w[1].value), w[2].value};
  }

  std::u16string string() {
    const Ptr p = pointer();
    return m.read_string(p, std::string(name) + " argument " + num(taken));
  }

  // The rest of a variadic call, as a format's arguments.  A fault of the
  // format itself (a width too large, a bad conversion) names the
  // primitive too.
  std::u16string formatted(std::u16string_view format) {
    FormatArguments fa;
    fa.next_int = [this] { return integer(); };
    fa.next_string = [this] { return string(); };
    try {
      return format_text(format, fa);
    } catch (Fault& f) {
      if (!f.message.starts_with(std::string(name) + ":") &&
          !f.message.starts_with(std::string(name) + " "))
        f.message = std::string(name) + ": " + f.message;
      throw;
    }
  }
};

struct Result {
  enum class Kind { none, word, pointer, control } kind = Kind::none;
  std::uint32_t word = 0;
  Ptr pointer;
};

inline Result word(std::int64_t v) {
  return {Result::Kind::word, static_cast<std::uint32_t>(v), {}};
}
inline Result pointer(const Ptr& p) { return {Result::Kind::pointer, 0, p}; }
inline Result control() { return {Result::Kind::control, 0, {}}; }

using Handler = Result (*)(Machine&, Args&, std::size_t pc);

// ---- helpers

inline std::int64_t length_argument(Args& a) {
  const std::int32_t n = a.integer();
  if (n < 0) a.fail("negative length " + num(n));
  return n;
}

// Checks that n characters fit at p before anything is built for them.
inline void check_room(Machine& m, Args& a, const Ptr& p, std::int64_t characters) {
  m.check(p, 2 * static_cast<std::uint64_t>(characters), true,
          std::string(a.name) + " destination");
}

// Writes a string into the program's memory once it is known to fit.
inline void put_string(Machine& m, Args& a, const Ptr& p, std::u16string_view text,
                bool terminate) {
  check_room(m, a, p, static_cast<std::int64_t>(text.size()) + (terminate ? 1 : 0));
  m.write_string(p, text, terminate);
}

// At most `limit` characters of the string at p: it may end without a
// zero once `limit` characters are read, as strncpy's source may.
inline std::u16string read_at_most(Machine& m, Args& a, const Ptr& p,
                            std::int64_t limit, int argument) {
  const std::string what = std::string(a.name) + " argument " + num(argument);
  m.check(p, 0, false, what);
  std::u16string out;
  Ptr at = p;
  while (static_cast<std::int64_t>(out.size()) < limit) {
    const Object& o = m.objects[at.id];
    if (at.offset < 0 || static_cast<std::uint64_t>(at.offset) + 2 > o.size)
      fault(what + ": the string has no terminating zero inside " + m.describe(o));
    const auto unit = static_cast<char16_t>(m.read_u(at, 2));
    if (unit == 0) break;
    out.push_back(unit);
    at.offset += 2;
  }
  return out;
}

// Inserts at point once the buffer is known to have room.
inline void insert_checked(Machine& m, Args& a, std::u16string_view text) {
  if (static_cast<std::int64_t>(m.buffer.text.size() + text.size()) > static_cast<std::int64_t>(m.options.limits.buffer_characters))
    a.fail("the buffer would grow beyond " + num(static_cast<std::int64_t>(m.options.limits.buffer_characters)) + " characters");
  m.insert_text(text);
}

inline Ptr advance(Ptr p, std::int64_t bytes) {
  p.offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.offset) +
                                       static_cast<std::uint32_t>(bytes));
  return p;
}

inline char16_t fold(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

inline int compare_units(std::u16string_view a, std::u16string_view b, bool folded,
                  std::size_t limit) {
  for (std::size_t i = 0; i < limit; ++i) {
    char16_t x = i < a.size() ? a[i] : 0;
    char16_t y = i < b.size() ? b[i] : 0;
    if (folded) {
      x = fold(x);
      y = fold(y);
    }
    if (x != y) return static_cast<int>(x) - static_cast<int>(y);
    if (x == 0) return 0;
  }
  return 0;
}

inline Ptr new_block(Machine& m, std::int64_t size, std::string_view who) {
  const std::string prefix = std::string(who) + ": ";
  if (size < 0) fault(prefix + "the negative size " + num(size));
  if (size > m.options.limits.block)
    fault(prefix + "out of memory: a block of " + num(size) + " bytes");
  if (m.heap_bytes + size > m.options.limits.heap)
    fault(prefix + "out of memory: more than " + num(m.options.limits.heap) +
          " bytes from malloc");
  m.heap_bytes += size;
  return m.pointer_to(m.new_object(ObjectKind::heap, static_cast<std::uint32_t>(size)));
}

// The live block from malloc that p points to the start of.
inline const Object& heap_block(Machine& m, const Ptr& p, std::string_view who) {
  if (p.id == 0 || p.id >= m.objects.size() || !m.objects[p.id].live ||
      m.objects[p.id].base != p.base)
    fault(std::string(who) + ": the block was already freed, or was never "
                             "allocated");
  const Object& o = m.objects[p.id];
  if (o.kind != ObjectKind::heap)
    fault(std::string(who) + ": " + m.describe(o) + " did not come from malloc");
  if (p.offset != 0)
    fault(std::string(who) + ": the pointer is " + num(p.offset) +
          " bytes into its block");
  return o;
}

inline void free_block(Machine& m, const Ptr& p, std::string_view who) {
  if (p.null()) return;
  m.heap_bytes -= heap_block(m, p, who).size;
  m.kill_object(p.id);
}

// One primitive of a family: its name, its handler and what it does, as
// `qxlrun --primitives` shows it.
struct Definition {
  std::string_view name;
  Handler handler;
  std::string_view behaviour;
};

// The families beside the core ones of primitives.cpp.
std::span<const Definition> editor_primitives();

}  // namespace qxl::run::prim
