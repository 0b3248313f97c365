// The primitives qxlrun provides, with the signatures of the compiler's
// table.  Arguments arrive with the first one on top of the stack; a
// variadic primitive's call byte says how many words were pushed and
// whether the result is wanted, any other primitive always leaves its
// result.  A primitive outside this set stops the run with a message that
// names it.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>

#include "bytecode/byte_reader.h"
#include "bytecode/instructions.h"
#include "tools/run/machine.h"
#include "types/builtins.h"

namespace qxl::run {
namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

// The runner's own limits: one block from malloc, all of them together,
// and the characters of the buffer (as Machine::insert_text enforces).
constexpr std::int64_t block_limit = 1 << 28;
constexpr std::int64_t heap_limit = 1LL << 30;
constexpr std::int64_t buffer_limit = 1 << 28;

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

Result word(std::int64_t v) {
  return {Result::Kind::word, static_cast<std::uint32_t>(v), {}};
}
Result pointer(const Ptr& p) { return {Result::Kind::pointer, 0, p}; }
Result control() { return {Result::Kind::control, 0, {}}; }

using Handler = Result (*)(Machine&, Args&, std::size_t pc);

// ---- helpers

std::int64_t length_argument(Args& a) {
  const std::int32_t n = a.integer();
  if (n < 0) a.fail("negative length " + num(n));
  return n;
}

// Checks that n characters fit at p before anything is built for them.
void check_room(Machine& m, Args& a, const Ptr& p, std::int64_t characters) {
  m.check(p, 2 * static_cast<std::uint64_t>(characters), true,
          std::string(a.name) + " destination");
}

// Writes a string into the program's memory once it is known to fit.
void put_string(Machine& m, Args& a, const Ptr& p, std::u16string_view text,
                bool terminate) {
  check_room(m, a, p, static_cast<std::int64_t>(text.size()) + (terminate ? 1 : 0));
  m.write_string(p, text, terminate);
}

// At most `limit` characters of the string at p: it may end without a
// zero once `limit` characters are read, as strncpy's source may.
std::u16string read_at_most(Machine& m, Args& a, const Ptr& p,
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
void insert_checked(Machine& m, Args& a, std::u16string_view text) {
  if (static_cast<std::int64_t>(m.buffer.text.size() + text.size()) > buffer_limit)
    a.fail("the buffer would grow beyond " + num(buffer_limit) + " characters");
  m.insert_text(text);
}

Ptr advance(Ptr p, std::int64_t bytes) {
  p.offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.offset) +
                                       static_cast<std::uint32_t>(bytes));
  return p;
}

char16_t fold(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

int compare_units(std::u16string_view a, std::u16string_view b, bool folded,
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

Ptr new_block(Machine& m, std::int64_t size, std::string_view who) {
  const std::string prefix = std::string(who) + ": ";
  if (size < 0) fault(prefix + "the negative size " + num(size));
  if (size > block_limit)
    fault(prefix + "out of memory: a block of " + num(size) + " bytes");
  if (m.heap_bytes + size > heap_limit)
    fault(prefix + "out of memory: more than " + num(heap_limit) +
          " bytes from malloc");
  m.heap_bytes += size;
  return m.pointer_to(m.new_object(ObjectKind::heap, static_cast<std::uint32_t>(size)));
}

// The live block from malloc that p points to the start of.
const Object& heap_block(Machine& m, const Ptr& p, std::string_view who) {
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

void free_block(Machine& m, const Ptr& p, std::string_view who) {
  if (p.null()) return;
  m.heap_bytes -= heap_block(m, p, who).size;
  m.kill_object(p.id);
}

// ---- output and formatting

Result say(Machine& m, Args& a, std::size_t) {
  const std::u16string text = a.formatted(a.string());
  m.print_out(to_utf8(text) + "\n");
  return word(static_cast<std::int64_t>(text.size()));
}

Result sayput(Machine& m, Args& a, std::size_t) {
  const std::u16string text = a.formatted(a.string());
  m.print_out(to_utf8(text));
  return word(static_cast<std::int64_t>(text.size()));
}

Result error(Machine& m, Args& a, std::size_t) {
  const std::u16string text = a.formatted(a.string());
  m.print_err(to_utf8(text) + "\n");
  m.abort_run(1);
  return control();
}

Result quick_abort(Machine& m, Args&, std::size_t) {
  m.abort_run(1);
  return control();
}

Result leave(Machine& m, Args& a, std::size_t) {
  const std::int32_t code = a.integer();
  m.finished = true;
  m.outcome.kind = Outcome::Kind::left;
  m.outcome.status = code & 0xFF;
  return control();
}

Result sprintf_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const std::u16string text = a.formatted(a.string());
  put_string(m, a, dest, text, true);
  return word(static_cast<std::int64_t>(text.size()));
}

Result bprintf(Machine& m, Args& a, std::size_t) {
  const std::u16string text = a.formatted(a.string());
  insert_checked(m, a, text);
  return word(static_cast<std::int64_t>(text.size()));
}

Result buf_printf(Machine& m, Args& a, std::size_t) {
  const std::int32_t number = a.integer();
  if (number != 1) a.fail("qxlrun has only buffer 1, not " + num(number));
  return bprintf(m, a, 0);
}

Result buffer_printf(Machine& m, Args& a, std::size_t) {
  a.string();  // the buffer's name: there is only one buffer
  return bprintf(m, a, 0);
}

// ---- the buffer

Result insert(Machine& m, Args& a, std::size_t) {
  const std::u16string text(1, static_cast<char16_t>(a.integer()));
  insert_checked(m, a, text);
  return {};
}

Result stuff(Machine& m, Args& a, std::size_t) {
  insert_checked(m, a, a.string());
  return {};
}

Result character(Machine& m, Args& a, std::size_t) {
  const std::int32_t i = a.integer();
  if (i < 0 || static_cast<std::size_t>(i) >= m.buffer.text.size()) return word(-1);
  return word(m.buffer.text[static_cast<std::size_t>(i)]);
}

Result curchar(Machine& m, Args&, std::size_t) {
  const int p = m.point();
  if (static_cast<std::size_t>(p) >= m.buffer.text.size()) return word(-1);
  return word(m.buffer.text[static_cast<std::size_t>(p)]);
}

Result delete_(Machine& m, Args& a, std::size_t) {
  const std::int32_t from = a.integer();
  const std::int32_t to = a.integer();
  m.delete_range(from, to);
  return {};
}

Result size(Machine& m, Args&, std::size_t) {
  return word(static_cast<std::int64_t>(m.buffer.text.size()));
}

Result grab(Machine& m, Args& a, std::size_t) {
  const int buffer_size = static_cast<int>(m.buffer.text.size());
  int from = std::clamp(a.integer(), 0, buffer_size);
  int to = std::clamp(a.integer(), 0, buffer_size);
  const Ptr dest = a.pointer();
  if (from > to) std::swap(from, to);
  put_string(m, a, dest,
             std::u16string_view(m.buffer.text)
                 .substr(static_cast<std::size_t>(from),
                         static_cast<std::size_t>(to - from)),
             true);
  return {};
}

Result buf_exist(Machine&, Args& a, std::size_t) {
  return word(a.integer() == 1 ? 1 : 0);
}

Result alloc_spot(Machine& m, Args& a, std::size_t) {
  const bool stays_left = a.integer() != 0;
  return word(m.new_spot(m.point(), stays_left));
}

Result free_spot(Machine& m, Args& a, std::size_t) {
  const auto value = static_cast<std::uint32_t>(a.integer());
  if (value == 0) return {};
  m.spot(value).live = false;
  return {};
}

Result spot_to_buffer(Machine& m, Args& a, std::size_t) {
  m.spot(static_cast<std::uint32_t>(a.integer()));
  return word(1);
}

// ---- strings

Result strlen_(Machine&, Args& a, std::size_t) {
  return word(static_cast<std::int64_t>(a.string().size()));
}

Result strcpy_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const std::u16string src = a.string();
  put_string(m, a, dest, src, true);
  return pointer(dest);
}

// Writes exactly n characters: the source's first n, then zeros.  The
// destination must hold all n before the copy is built.
Result strncpy_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const Ptr from = a.pointer();
  const std::int64_t n = length_argument(a);
  check_room(m, a, dest, n);
  std::u16string src = read_at_most(m, a, from, n, 2);
  src.resize(static_cast<std::size_t>(n), 0);
  m.write_string(dest, src, false);
  return pointer(dest);
}

Result strcat_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const std::u16string src = a.string();
  const std::u16string old = m.read_string(dest, "strcat");
  put_string(m, a, advance(dest, 2 * static_cast<std::int64_t>(old.size())), src, true);
  return pointer(dest);
}

// Appends at most n characters of the source, which needs no zero within
// them, and a zero.
Result strncat_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const Ptr from = a.pointer();
  const std::int64_t n = length_argument(a);
  const std::u16string src = read_at_most(m, a, from, n, 2);
  const std::u16string old = m.read_string(dest, "strncat");
  put_string(m, a, advance(dest, 2 * static_cast<std::int64_t>(old.size())), src, true);
  return pointer(dest);
}

// strcmp and its kin: two strings, then a length when `limited` (of which
// only that many characters are read), compared as they are or with case
// folded.
template <bool folded, bool limited>
Result compare_strings(Machine& m, Args& a, std::size_t) {
  if (!limited) {
    const std::u16string x = a.string(), y = a.string();
    return word(compare_units(x, y, folded, SIZE_MAX));
  }
  const Ptr px = a.pointer(), py = a.pointer();
  const std::int64_t n = length_argument(a);
  const std::u16string x = read_at_most(m, a, px, n, 1);
  const std::u16string y = read_at_most(m, a, py, n, 2);
  return word(compare_units(x, y, folded, static_cast<std::size_t>(n)));
}

Result charfcmp(Machine&, Args& a, std::size_t) {
  const auto x = static_cast<char16_t>(a.integer());
  const auto y = static_cast<char16_t>(a.integer());
  return word(static_cast<int>(fold(x)) - static_cast<int>(fold(y)));
}

Result index_(Machine& m, Args& a, std::size_t, bool last) {
  const Ptr s = a.pointer();
  const auto c = static_cast<char16_t>(a.integer());
  const std::u16string text = m.read_string(s, a.name);
  const std::size_t at =
      c == 0 ? text.size() : last ? text.rfind(c) : text.find(c);
  if (at == std::u16string::npos) return pointer({});
  return pointer(advance(s, 2 * static_cast<std::int64_t>(at)));
}

Result index_first(Machine& m, Args& a, std::size_t pc) {
  return index_(m, a, pc, false);
}
Result index_last(Machine& m, Args& a, std::size_t pc) {
  return index_(m, a, pc, true);
}

Result strstr_(Machine& m, Args& a, std::size_t) {
  const Ptr s = a.pointer();
  const std::u16string text = m.read_string(s, "strstr");
  const std::u16string wanted = a.string();
  const std::size_t at = text.find(wanted);
  if (at == std::u16string::npos) return pointer({});
  return pointer(advance(s, 2 * static_cast<std::int64_t>(at)));
}

Result strsave(Machine& m, Args& a, std::size_t) {
  const std::u16string text = a.string();
  const Ptr p = new_block(m, 2 * static_cast<std::int64_t>(text.size()) + 2, "strsave");
  m.write_string(p, text, true);
  return pointer(p);
}

// Character classes of ASCII; every other character is in none.
bool is_upper(std::int32_t c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(std::int32_t c) { return c >= 'a' && c <= 'z'; }
bool is_alpha(std::int32_t c) { return is_upper(c) || is_lower(c); }
bool is_digit(std::int32_t c) { return c >= '0' && c <= '9'; }
bool is_space(std::int32_t c) { return c == ' ' || (c >= 9 && c <= 13); }

template <bool (*Test)(std::int32_t)>
Result classify(Machine&, Args& a, std::size_t) {
  return word(Test(a.integer()) ? 1 : 0);
}

Result tolower_(Machine&, Args& a, std::size_t) {
  const std::int32_t c = a.integer();
  return word(c >= 'A' && c <= 'Z' ? c + 32 : c);
}

Result toupper_(Machine&, Args& a, std::size_t) {
  const std::int32_t c = a.integer();
  return word(c >= 'a' && c <= 'z' ? c - 32 : c);
}

// ---- memory

Result malloc_(Machine& m, Args& a, std::size_t) {
  return pointer(new_block(m, a.integer(), "malloc"));
}

Result free_(Machine& m, Args& a, std::size_t) {
  free_block(m, a.pointer(), "free");
  return {};
}

Result realloc_(Machine& m, Args& a, std::size_t) {
  const Ptr old = a.pointer();
  const std::int32_t size = a.integer();
  // The old block is checked before the new one is made.
  const std::uint32_t old_size = old.null() ? 0 : heap_block(m, old, "realloc").size;
  const Ptr p = new_block(m, size, "realloc");
  if (!old.null()) {
    const std::size_t n = std::min<std::size_t>(old_size, static_cast<std::size_t>(size));
    std::vector<std::uint8_t> bytes(n);
    m.read(old, n, bytes.data());
    m.write(p, n, bytes.data());
    free_block(m, old, "realloc");
  }
  return pointer(p);
}

Result memcpy_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const Ptr src = a.pointer();
  const auto n = static_cast<std::size_t>(length_argument(a));
  m.check(src, n, false, "memcpy source");
  m.check(dest, n, true, "memcpy destination");
  std::vector<std::uint8_t> bytes(n);
  m.read(src, n, bytes.data());
  m.write(dest, n, bytes.data());
  return {};
}

Result memset_(Machine& m, Args& a, std::size_t) {
  const Ptr dest = a.pointer();
  const auto value = static_cast<std::uint8_t>(a.integer());
  const auto n = static_cast<std::size_t>(length_argument(a));
  m.check(dest, n, true, "memset");
  const std::vector<std::uint8_t> bytes(n, value);
  m.write(dest, n, bytes.data());
  return {};
}

Result memcmp_(Machine& m, Args& a, std::size_t) {
  const Ptr x = a.pointer();
  const Ptr y = a.pointer();
  const auto n = static_cast<std::size_t>(length_argument(a));
  m.check(x, n, false, "memcmp");
  m.check(y, n, false, "memcmp");
  std::vector<std::uint8_t> bx(n), by(n);
  m.read(x, n, bx.data());
  m.read(y, n, by.data());
  for (std::size_t i = 0; i < n; ++i)
    if (bx[i] != by[i]) return word(static_cast<int>(bx[i]) - static_cast<int>(by[i]));
  return word(0);
}

Result ptrlen(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  m.check(p, 0, false, "ptrlen");
  return word(static_cast<std::int64_t>(m.objects[p.id].size) - p.offset);
}

// ---- control

Result setjmp_(Machine& m, Args& a, std::size_t pc) {
  const Ptr buf = a.pointer();
  m.check(buf, 8, true, "setjmp");
  std::uint8_t head[8];
  m.read(buf, 8, head);
  const std::uint32_t magic = get_u32(head);
  std::uint32_t index = get_u32(head + 4);
  JumpPoint j{m.frames.back().serial, m.frames.size(), pc, m.stack.size()};
  // A buffer set again reuses its entry, so a loop around setjmp does not
  // pile up jump points.
  if (magic == jump_magic && index >= 1 && index <= m.jump_points.size()) {
    m.jump_points[index - 1] = j;
  } else {
    if (m.jump_points.size() >= 1000000) fault("setjmp: too many jump buffers");
    m.jump_points.push_back(j);
    index = static_cast<std::uint32_t>(m.jump_points.size());
  }
  m.write_u(buf, 4, jump_magic);
  m.write_u(advance(buf, 4), 4, index);
  return word(0);
}

Result longjmp_(Machine& m, Args& a, std::size_t) {
  const Ptr buf = a.pointer();
  std::int32_t value = a.integer();
  if (value == 0) value = 1;
  m.check(buf, 8, false, "longjmp");
  const std::uint32_t magic = m.read_u(buf, 4);
  const std::uint32_t index = m.read_u(advance(buf, 4), 4);
  if (magic != jump_magic || index < 1 || index > m.jump_points.size())
    fault("longjmp: the buffer was not set by setjmp");
  const JumpPoint& j = m.jump_points[index - 1];
  if (j.depth < 1 || j.depth > m.frames.size() ||
      m.frames[j.depth - 1].serial != j.frame_serial)
    fault("longjmp: the function that called setjmp has returned");
  m.start_unwind(j.depth, index, value);
  return control();
}

Result restore_vars(Machine& m, Args&, std::size_t pc) {
  if (m.frames.back().saves.empty()) return {};
  m.start_restore_vars(pc);
  return control();
}

Result nothing(Machine&, Args&, std::size_t) { return {}; }
Result zero(Machine&, Args&, std::size_t) { return word(0); }

// ---- the system

Result getenv_(Machine& m, Args& a, std::size_t) {
  const std::string name = to_utf8(a.string());
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return pointer({});
  auto found = m.environment.find(name);
  if (found == m.environment.end() || !m.objects[found->second].live) {
    const std::uint32_t id = m.string_object(from_utf8(value), false);
    m.objects[id].kind = ObjectKind::environment;
    found = m.environment.insert_or_assign(name, id).first;
  }
  return pointer(m.pointer_to(found->second));
}

Result time_ms(Machine&, Args&, std::size_t) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return word(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

Result muldiv(Machine&, Args& a, std::size_t) {
  const std::int64_t x = a.integer(), y = a.integer(), z = a.integer();
  if (z == 0) fault("muldiv: division by zero");
  const std::int64_t result = x * y / z;
  if (result < INT32_MIN || result > INT32_MAX)
    fault("muldiv: the result " + num(result) + " does not fit an int");
  return word(result);
}

const std::unordered_map<std::string_view, Handler>& handlers() {
  static const std::unordered_map<std::string_view, Handler> table = {
      {"setjmp", setjmp_},
      {"longjmp", longjmp_},
      {"sprintf", sprintf_},
      {"bprintf", bprintf},
      {"buf_printf", buf_printf},
      {"buffer_printf", buffer_printf},
      {"say", say},
      {"sayput", sayput},
      {"note", say},
      {"noteput", sayput},
      {"mention", say},
      {"error", error},
      {"check_abort", nothing},
      {"insert", insert},
      {"character", character},
      {"delete", delete_},
      {"curchar", curchar},
      {"size", size},
      {"in_macro", zero},
      {"strcpy", strcpy_},
      {"strncpy", strncpy_},
      {"strcat", strcat_},
      {"strncat", strncat_},
      {"strcmp", compare_strings<false, false>},
      {"strncmp", compare_strings<false, true>},
      {"strfcmp", compare_strings<true, false>},
      {"strnfcmp", compare_strings<true, true>},
      {"index", index_first},
      {"rindex", index_last},
      {"grab", grab},
      {"malloc", malloc_},
      {"free", free_},
      {"ptrlen", ptrlen},
      {"strsave", strsave},
      {"strlen", strlen_},
      {"buf_exist", buf_exist},
      {"stuff", stuff},
      {"isalpha", classify<is_alpha>},
      {"isspace", classify<is_space>},
      {"islower", classify<is_lower>},
      {"isupper", classify<is_upper>},
      {"isdigit", classify<is_digit>},
      {"tolower", tolower_},
      {"toupper", toupper_},
      {"quick_abort", quick_abort},
      {"charfcmp", charfcmp},
      {"alloc_spot", alloc_spot},
      {"free_spot", free_spot},
      {"spot_to_buffer", spot_to_buffer},
      {"ding", nothing},
      {"leave", leave},
      {"getenv", getenv_},
      {"restore_vars", restore_vars},
      {"strstr", strstr_},
      {"memcpy", memcpy_},
      {"memcmp", memcmp_},
      {"memset", memset_},
      {"realloc", realloc_},
      {"time_ms", time_ms},
      {"muldiv", muldiv},
  };
  return table;
}

}  // namespace

bool primitive_implemented(std::string_view name) {
  return handlers().count(name) != 0;
}

void run_primitive(Machine& m, int number, int words, bool result_wanted,
                   std::size_t& pc) {
  const PrimitiveRow* row = find_primitive_by_number(number);
  if (row == nullptr) fault("unknown primitive number " + num(number));
  auto found = handlers().find(row->name);
  if (found == handlers().end())
    fault("the primitive " + std::string(row->name) +
          " is not implemented by qxlrun");
  const std::size_t floor = m.frames.back().locals_end;
  if (words < 0 || m.stack.size() < floor + static_cast<std::size_t>(words))
    fault(std::string(row->name) + ": fewer argument words on the stack than "
                                   "the call says");
  Args a{m, row->name, {}, 0, 0};
  const std::size_t base = m.stack.size() - static_cast<std::size_t>(words);
  a.slots.assign(m.stack.begin() + static_cast<std::ptrdiff_t>(base), m.stack.end());
  a.end = a.slots.size();
  m.stack.resize(base);
  const Result result = found->second(m, a, pc);
  if (result.kind == Result::Kind::control) return;
  const bool variadic = row->max_words == -1;
  const bool push = variadic ? result_wanted : row->result_code != 0;
  if (!push) return;
  const bool pointer_result = row->result_code > 16;
  if (pointer_result) {
    m.push_pointer(result.kind == Result::Kind::pointer ? result.pointer : Ptr{});
  } else {
    std::uint32_t v = result.word;
    if (row->result_code % 16 == type_code::short_)
      v = static_cast<std::uint32_t>(static_cast<std::int16_t>(v));
    m.push_word(v);
  }
}

}  // namespace qxl::run
