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
#include "tools/run/primitive_support.h"
#include "types/builtins.h"

namespace qxl::run {
namespace {

using namespace prim;


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

// The core families: output, the buffer's text, strings, memory and
// control.  The editor families are in primitives_editor.cpp.
constexpr Definition core_definitions[] = {
    {"setjmp", setjmp_, "sets a jump point in the buffer, 0"},
    {"longjmp", longjmp_, "returns to the setjmp of the buffer, which then gives the value (1 for 0)"},
    {"sprintf", sprintf_, "formats into the string, gives its length"},
    {"bprintf", bprintf, "formats and inserts at point"},
    {"buf_printf", buf_printf, "formats and inserts at point of buffer 1 (the only one)"},
    {"buffer_printf", buffer_printf, "formats and inserts at point; the buffer's name is ignored, there is one"},
    {"say", say, "formats and prints a line on standard output"},
    {"sayput", sayput, "formats and prints on standard output, no newline"},
    {"note", say, "as say"},
    {"noteput", sayput, "as sayput"},
    {"mention", say, "as say"},
    {"error", error, "formats and prints a line on standard error, ends the run with status 1"},
    {"check_abort", nothing, "does nothing: no key aborts a run"},
    {"insert", insert, "inserts the character at point"},
    {"character", character, "the character at the position, -1 outside the text"},
    {"delete", delete_, "deletes the text between the two positions (clamped to the text)"},
    {"curchar", curchar, "the character at point, -1 at the end"},
    {"size", size, "the characters in the buffer"},
    {"in_macro", zero, "0: no keyboard macro runs"},
    {"strcpy", strcpy_, "copies the string"},
    {"strncpy", strncpy_, "copies exactly n characters: the string's first ones, then zeros"},
    {"strcat", strcat_, "appends the string"},
    {"strncat", strncat_, "appends at most n characters and a zero"},
    {"strcmp", compare_strings<false, false>, "compares strings of 16-bit characters"},
    {"strncmp", compare_strings<false, true>, "compares at most n characters"},
    {"strfcmp", compare_strings<true, false>, "compares ignoring ASCII case"},
    {"strnfcmp", compare_strings<true, true>, "compares at most n characters ignoring ASCII case"},
    {"index", index_first, "the first place of the character in the string, or null"},
    {"rindex", index_last, "the last place of the character in the string, or null"},
    {"grab", grab, "copies the text between two positions into the string"},
    {"malloc", malloc_, "a zeroed checked block (at most 256 MB; 1 GB in all)"},
    {"free", free_, "frees a block from malloc"},
    {"ptrlen", ptrlen, "the bytes from the pointer to the end of its object"},
    {"strsave", strsave, "a copy of the string in a new block"},
    {"strlen", strlen_, "the characters of the string"},
    {"buf_exist", buf_exist, "1 for buffer 1, else 0"},
    {"stuff", stuff, "inserts the string at point"},
    {"isalpha", classify<is_alpha>, "1 for an ASCII letter"},
    {"isspace", classify<is_space>, "1 for space, tab, newline, vertical tab, form feed, return"},
    {"islower", classify<is_lower>, "1 for an ASCII lower-case letter"},
    {"isupper", classify<is_upper>, "1 for an ASCII upper-case letter"},
    {"isdigit", classify<is_digit>, "1 for an ASCII digit"},
    {"tolower", tolower_, "the ASCII lower case of the character"},
    {"toupper", toupper_, "the ASCII upper case of the character"},
    {"quick_abort", quick_abort, "ends the run with status 1, as error does"},
    {"charfcmp", charfcmp, "compares two characters ignoring ASCII case"},
    {"alloc_spot", alloc_spot, "a new spot at point; with a nonzero argument an insertion there goes after it"},
    {"free_spot", free_spot, "frees the spot"},
    {"spot_to_buffer", spot_to_buffer, "1: every spot is in buffer 1"},
    {"ding", nothing, "does nothing: there is no bell"},
    {"leave", leave, "ends the run with the status"},
    {"getenv", getenv_, "the environment variable's value, or null"},
    {"restore_vars", restore_vars, "restores what save_var and save_spot saved in this call"},
    {"strstr", strstr_, "the first place of the second string in the first, or null"},
    {"memcpy", memcpy_, "copies n bytes"},
    {"memcmp", memcmp_, "compares n bytes"},
    {"memset", memset_, "fills n bytes with the value"},
    {"realloc", realloc_, "a new block of the size with the old one's bytes; frees the old one"},
    {"time_ms", time_ms, "milliseconds of a steady clock"},
    {"muldiv", muldiv, "a * b / c without overflow inside; faults when the result leaves int"},
};

// Every primitive qxlrun provides, by name.
struct Dispatch {
  std::unordered_map<std::string_view, const Definition*> by_name;
};

const Dispatch& dispatch() {
  static const Dispatch table = [] {
    Dispatch d;
    for (const Definition& row : core_definitions) d.by_name.emplace(row.name, &row);
    for (const Definition& row : editor_primitives()) d.by_name.emplace(row.name, &row);
    return d;
  }();
  return table;
}

}  // namespace

bool primitive_implemented(std::string_view name) {
  return dispatch().by_name.count(name) != 0;
}

std::string_view primitive_behaviour(std::string_view name) {
  auto found = dispatch().by_name.find(name);
  return found == dispatch().by_name.end() ? std::string_view{}
                                           : found->second->behaviour;
}

void run_primitive(Machine& m, int number, int words, bool result_wanted,
                   std::size_t& pc) {
  const PrimitiveRow* row = find_primitive_by_number(number);
  if (row == nullptr) fault("unknown primitive number " + num(number));
  auto found = dispatch().by_name.find(row->name);
  if (found == dispatch().by_name.end())
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
  const Result result = found->second->handler(m, a, pc);
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
