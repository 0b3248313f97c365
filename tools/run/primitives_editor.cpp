// The editor's families of primitives as qxlrun provides them: the buffer
// and point, lines and columns, plain-text search, character colors, file
// names, keys from the key script, timers and the clock.  There is no
// screen: a column counts characters, with a tab reaching the next
// multiple of tab_stop, and waiting returns at once.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bytecode/byte_reader.h"
#include "driver/search_paths.h"
#include "tools/key_notation.h"
#include "tools/run/primitive_support.h"
#include "types/builtins.h"

namespace qxl::run::prim {
namespace {

constexpr int tab_stop = 8;
constexpr char16_t newline = u'\n';
constexpr char16_t tab = u'\t';
constexpr char16_t separator = u'/';
constexpr std::int32_t no_color = -1;
// The longest file name or pattern fpatmatch takes: the time of a match
// grows with the product of the two.
constexpr std::size_t name_limit = 4096;

// ---- helpers

int text_size(const Machine& m) { return static_cast<int>(m.buffer.text.size()); }

// A position argument inside the text (the end included), or a fault.
int position_argument(Machine& m, Args& a) {
  const std::int32_t p = a.integer();
  if (p < 0 || p > text_size(m))
    a.fail("the position " + num(p) + " is outside the buffer of " +
           num(text_size(m)) + " characters");
  return p;
}

Object& variable(Machine& m, std::string_view name) {
  const auto table = builtin_variable_table();
  for (std::size_t i = 0; i < table.size(); ++i)
    if (table[i].name == name) return m.objects[m.builtin_objects[i]];
  fault("no built-in variable " + std::string(name));
}

void set_variable(Machine& m, std::string_view name, std::int32_t value) {
  Object& o = variable(m, name);
  for (std::size_t b = 0; b < 4 && b < o.bytes.size(); ++b)
    o.bytes[b] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * b));
}

int line_start(const Machine& m, int at) {
  while (at > 0 && m.buffer.text[static_cast<std::size_t>(at - 1)] != newline) --at;
  return at;
}

int line_end(const Machine& m, int at) {
  while (at < text_size(m) && m.buffer.text[static_cast<std::size_t>(at)] != newline) ++at;
  return at;
}

int next_column(int column, char16_t c) {
  return c == tab ? (column / tab_stop + 1) * tab_stop : column + 1;
}

int column_of(const Machine& m, int at) {
  int column = 0;
  for (int i = line_start(m, at); i < at; ++i)
    column = next_column(column, m.buffer.text[static_cast<std::size_t>(i)]);
  return column;
}

// The position of the column on the line that holds `at`: the end of the
// line when it is shorter, before a tab that would pass the column.
int column_position(const Machine& m, int at, std::int64_t column) {
  int p = line_start(m, at);
  const int end = line_end(m, at);
  int c = 0;
  while (p < end) {
    const int after = next_column(c, m.buffer.text[static_cast<std::size_t>(p)]);
    if (after > column) break;
    c = after;
    ++p;
  }
  return p;
}

// ---- the buffer and point

Result replace(Machine& m, Args& a, std::size_t) {
  const std::int32_t at = a.integer();
  const std::int32_t c = a.integer();
  if (at < 0 || at >= text_size(m))
    a.fail("the position " + num(at) + " holds no character of the buffer of " +
           num(text_size(m)) + " characters");
  m.buffer.text[static_cast<std::size_t>(at)] = static_cast<char16_t>(c);
  return {};
}

// Empties the buffer: point, spots and colors go with the text.
void empty_buffer(Machine& m) { m.delete_range(0, text_size(m)); }

// The value of the built-in variable bufname: the one buffer's name.
Ptr buffer_name(Machine& m) {
  const Object& o = variable(m, "bufname");
  return Ptr{get_u32(o.bytes.data()), static_cast<std::int32_t>(get_u32(o.bytes.data() + 4)),
             get_u32(o.bytes.data() + 8)};
}

Result name_to_bufnum(Machine& m, Args& a, std::size_t) {
  const std::u16string name = a.string();
  return word(name == m.read_string(buffer_name(m), "name_to_bufnum") ? 1 : 0);
}

Result bufnum_to_name(Machine& m, Args& a, std::size_t) {
  return a.integer() == 1 ? pointer(buffer_name(m)) : pointer({});
}

Result buf_zap(Machine& m, Args& a, std::size_t) {
  const std::int32_t number = a.integer();
  if (number != 1) a.fail("qxlrun has only buffer 1, not " + num(number));
  empty_buffer(m);
  return {};
}

Result zap(Machine& m, Args& a, std::size_t) {
  const std::u16string name = a.string();
  if (name != u"main") a.fail("qxlrun has only the buffer main, not " + to_utf8(name));
  empty_buffer(m);
  return word(1);
}

// Inserts exactly n characters of the string, zeros included.
Result buf_stuff(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const std::int64_t n = length_argument(a);
  m.check(p, 2 * static_cast<std::uint64_t>(n), false, std::string(a.name) + " source");
  if (static_cast<std::int64_t>(m.buffer.text.size()) + n > static_cast<std::int64_t>(m.options.limits.buffer_characters))
    a.fail("the buffer would grow beyond " + num(static_cast<std::int64_t>(m.options.limits.buffer_characters)) + " characters");
  std::u16string text(static_cast<std::size_t>(n), 0);
  for (std::int64_t i = 0; i < n; ++i)
    text[static_cast<std::size_t>(i)] =
        static_cast<char16_t>(m.read_u(advance(p, 2 * i), 2));
  insert_checked(m, a, text);
  return {};
}

// ---- lines and columns

Result nl_forward(Machine& m, Args&, std::size_t) {
  const int end = line_end(m, m.point());
  if (end >= text_size(m)) return word(0);
  m.set_point(end + 1);
  return word(1);
}

Result nl_reverse(Machine& m, Args&, std::size_t) {
  const int start = line_start(m, m.point());
  if (start == 0) return word(0);
  m.set_point(start - 1);
  return word(1);
}

Result current_column(Machine& m, Args&, std::size_t) {
  return word(column_of(m, m.point()));
}

Result move_to_column(Machine& m, Args& a, std::size_t) {
  m.set_point(column_position(m, m.point(), a.integer()));
  return {};
}

Result horizontal(Machine& m, Args& a, std::size_t) {
  return word(column_position(m, m.point(), a.integer()));
}

Result display_width(Machine& m, Args& a, std::size_t) {
  const int from = position_argument(m, a);
  const int to = position_argument(m, a);
  return word(std::abs(to - from));
}

Result lines_between(Machine& m, Args& a, std::size_t) {
  int from = position_argument(m, a);
  int to = position_argument(m, a);
  if (a.end > 0) a.integer();  // the abort flag: nothing aborts
  if (from > to) std::swap(from, to);
  return word(std::count(m.buffer.text.begin() + from, m.buffer.text.begin() + to, newline));
}

// Moves n lines down (up for a negative n) as far as the text goes, to the
// column point was in; gives the lines moved.
Result move_by_lines(Machine& m, Args& a, std::size_t) {
  const std::int32_t n = a.integer();
  const int column = column_of(m, m.point());
  int at = m.point();
  std::int64_t moved = 0;
  while (moved < std::abs(static_cast<std::int64_t>(n))) {
    if (n > 0) {
      const int end = line_end(m, at);
      if (end >= text_size(m)) break;
      at = end + 1;
    } else {
      const int start = line_start(m, at);
      if (start == 0) break;
      at = start - 1;
    }
    ++moved;
  }
  m.set_point(column_position(m, at, column));
  return word(n < 0 ? -moved : moved);
}

// No screen: a screen line is a line of the buffer.  The start of the
// line n lines after (before) point's, or the end (start) of the text.
Result next_screen_line(Machine& m, Args& a, std::size_t) {
  const std::int32_t n = a.integer();
  int at = line_start(m, m.point());
  for (std::int32_t i = 0; i < n; ++i) {
    const int end = line_end(m, at);
    if (end >= text_size(m)) return word(text_size(m));
    at = end + 1;
  }
  return word(at);
}

Result prev_screen_line(Machine& m, Args& a, std::size_t) {
  const std::int32_t n = a.integer();
  int at = line_start(m, m.point());
  for (std::int32_t i = 0; i < n && at > 0; ++i) at = line_start(m, at - 1);
  return word(at);
}

// ---- search

// Text search in time linear in the text and the pattern, however the
// pattern repeats itself (Knuth-Morris-Pratt).  unit(k) is the pattern's
// k-th character in the direction of the scan.
template <typename Unit>
std::vector<std::size_t> failure_table(std::size_t length, Unit unit) {
  std::vector<std::size_t> fail(length + 1, 0);
  std::size_t k = 0;
  for (std::size_t i = 1; i < length; ++i) {
    while (k > 0 && unit(i) != unit(k)) k = fail[k];
    if (unit(i) == unit(k)) ++k;
    fail[i + 1] = k;
  }
  return fail;
}

// The first match starting at or after `from`.
std::size_t find_forward(std::u16string_view text, std::u16string_view wanted,
                         std::size_t from) {
  if (wanted.empty()) return from <= text.size() ? from : std::u16string_view::npos;
  const auto unit = [&](std::size_t k) { return wanted[k]; };
  const std::vector<std::size_t> fail = failure_table(wanted.size(), unit);
  std::size_t k = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    while (k > 0 && text[i] != wanted[k]) k = fail[k];
    if (text[i] == wanted[k]) ++k;
    if (k == wanted.size()) return i + 1 - wanted.size();
  }
  return std::u16string_view::npos;
}

// The last match ending at or before `limit`: the same scan from `limit`
// towards the start, with the pattern read from its end.
std::size_t find_backward(std::u16string_view text, std::u16string_view wanted,
                          std::size_t limit) {
  if (wanted.empty()) return limit;
  const std::size_t n = wanted.size();
  const auto unit = [&](std::size_t k) { return wanted[n - 1 - k]; };
  const std::vector<std::size_t> fail = failure_table(n, unit);
  std::size_t k = 0;
  for (std::size_t i = limit; i > 0; --i) {
    const char16_t c = text[i - 1];
    while (k > 0 && c != unit(k)) k = fail[k];
    if (c == unit(k)) ++k;
    if (k == n) return i - 1;
  }
  return std::u16string_view::npos;
}

// Plain text, case as it is.  Forward: the first match at or after point,
// point left after it.  Backward: the last match ending at or before point,
// point left at its start.  matchstart and matchend get the match; nothing
// moves when there is none.
Result search(Machine& m, Args& a, std::size_t) {
  const std::int32_t direction = a.integer();
  const std::u16string wanted = a.string();
  const std::u16string_view text = m.buffer.text;
  const auto p = static_cast<std::size_t>(m.point());
  const std::size_t at = direction > 0 ? find_forward(text, wanted, p)
                                       : find_backward(text, wanted, p);
  if (at == std::u16string_view::npos) return word(0);
  const auto start = static_cast<std::int32_t>(at);
  const auto end = static_cast<std::int32_t>(at + wanted.size());
  set_variable(m, "matchstart", start);
  set_variable(m, "matchend", end);
  m.set_point(direction > 0 ? end : start);
  return word(1);
}

// ---- colors

// The first run that starts after the position.
std::vector<ColorRun>::const_iterator run_after(const Buffer& b, int at) {
  return std::upper_bound(b.colors.begin(), b.colors.end(), at,
                          [](int p, const ColorRun& r) { return p < r.start; });
}

// The color at a position of the text, or no_color.
std::int32_t color_at(const Buffer& b, int at) {
  const auto next = run_after(b, at);
  if (next == b.colors.begin()) return no_color;
  const ColorRun& run = *(next - 1);
  return at < run.end ? run.color : no_color;
}

// The stretch of one color around a position inside the text: touching
// runs of the color join, uncolored text lies between runs.
std::pair<int, int> stretch(const Buffer& b, int at, int size) {
  const auto next = run_after(b, at);
  const std::size_t after = static_cast<std::size_t>(next - b.colors.begin());
  if (after == 0 || b.colors[after - 1].end <= at) {
    const int start = after == 0 ? 0 : b.colors[after - 1].end;
    const int end = after == b.colors.size() ? size : b.colors[after].start;
    return {start, end};
  }
  std::size_t first = after - 1, last = after - 1;
  const std::int32_t color = b.colors[first].color;
  while (first > 0 && b.colors[first - 1].end == b.colors[first].start &&
         b.colors[first - 1].color == color)
    --first;
  while (last + 1 < b.colors.size() && b.colors[last + 1].start == b.colors[last].end &&
         b.colors[last + 1].color == color)
    ++last;
  return {b.colors[first].start, b.colors[last].end};
}

// Sets [from, to) to the color (no_color: none): the runs it overlaps are
// cut, then the new run goes in its place.
void paint(Buffer& b, int from, int to, std::int32_t color) {
  std::vector<ColorRun> out;
  out.reserve(b.colors.size() + 2);
  bool placed = false;
  for (const ColorRun& r : b.colors) {
    if (!placed && r.start >= from) {
      if (color != no_color) out.push_back({from, to, color});
      placed = true;
    }
    if (r.end <= from || r.start >= to) {
      out.push_back(r);
      continue;
    }
    if (r.start < from) out.push_back({r.start, from, r.color});
    if (!placed) {
      if (color != no_color) out.push_back({from, to, color});
      placed = true;
    }
    if (r.end > to) out.push_back({to, r.end, r.color});
  }
  if (!placed && color != no_color) out.push_back({from, to, color});
  b.colors = std::move(out);
}

Result set_character_color(Machine& m, Args& a, std::size_t) {
  int from = std::clamp(a.integer(), 0, text_size(m));
  int to = std::clamp(a.integer(), 0, text_size(m));
  const std::int32_t color = a.integer();
  if (from > to) std::swap(from, to);
  if (from == to) return {};
  paint(m.buffer, from, to, color < 0 ? no_color : color);
  return {};
}

// The color at the position, -1 for none or outside the text; the two
// optional pointers get the start and end of the run of that color.
Result get_character_color(Machine& m, Args& a, std::size_t) {
  const std::int32_t at = a.integer();
  Ptr start_out, end_out;
  const bool with_run = a.end > 0;
  if (with_run) {
    start_out = a.pointer();
    end_out = a.pointer();
  }
  const Buffer& b = m.buffer;
  const int size = text_size(m);
  const bool inside = at >= 0 && at < size;
  const std::int32_t color = inside ? color_at(b, at) : no_color;
  if (with_run) {
    const int edge = std::clamp(at, 0, size);
    const auto [start, end] = inside ? stretch(b, at, size) : std::pair<int, int>{edge, edge};
    if (!start_out.null()) m.write_u(start_out, 4, static_cast<std::uint32_t>(start));
    if (!end_out.null()) m.write_u(end_out, 4, static_cast<std::uint32_t>(end));
  }
  return word(color);
}

// ---- characters and memory

// Compares exactly n characters, zeros included.
Result compare_chars(Machine& m, Args& a, std::size_t) {
  const Ptr x = a.pointer(), y = a.pointer();
  const std::int64_t n = length_argument(a);
  m.check(x, 2 * static_cast<std::uint64_t>(n), false, std::string(a.name));
  m.check(y, 2 * static_cast<std::uint64_t>(n), false, std::string(a.name));
  for (std::int64_t i = 0; i < n; ++i) {
    const auto cx = static_cast<std::int32_t>(m.read_u(advance(x, 2 * i), 2));
    const auto cy = static_cast<std::int32_t>(m.read_u(advance(y, 2 * i), 2));
    if (cx != cy) return word(cx - cy);
  }
  return word(0);
}

Result set_chars(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const auto c = static_cast<char16_t>(a.integer());
  const std::int64_t n = length_argument(a);
  check_room(m, a, p, n);
  m.write_string(p, std::u16string(static_cast<std::size_t>(n), c), false);
  return {};
}

Result memfcmp(Machine& m, Args& a, std::size_t) {
  const Ptr x = a.pointer(), y = a.pointer();
  const auto n = static_cast<std::size_t>(length_argument(a));
  m.check(x, n, false, "memfcmp");
  m.check(y, n, false, "memfcmp");
  std::vector<std::uint8_t> bx(n), by(n);
  m.read(x, n, bx.data());
  m.read(y, n, by.data());
  for (std::size_t i = 0; i < n; ++i) {
    const int cx = fold(bx[i]), cy = fold(by[i]);
    if (cx != cy) return word(cx - cy);
  }
  return word(0);
}

// ---- file names

// A pointer to the character `index` of the string at p.
Ptr into(const Ptr& p, std::size_t index) {
  return advance(p, 2 * static_cast<std::int64_t>(index));
}

Result get_tail(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const std::u16string path = m.read_string(p, "get_tail");
  if (a.end > 0) a.integer();  // the editor's flag for directories: unused
  const std::size_t slash = path.rfind(separator);
  return pointer(into(p, slash == std::u16string::npos ? 0 : slash + 1));
}

Result get_extension(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const std::u16string path = m.read_string(p, "get_extension");
  const std::size_t slash = path.rfind(separator);
  const std::size_t tail = slash == std::u16string::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind(u'.');
  return pointer(into(p, dot == std::u16string::npos || dot < tail ? path.size() : dot));
}

Result is_path_separator(Machine&, Args& a, std::size_t) {
  return word(a.integer() == separator ? 1 : 0);
}

Result is_relative(Machine& m, Args& a, std::size_t) {
  const std::u16string path = m.read_string(a.pointer(), "is_relative");
  return word(path.empty() || path[0] != separator ? 1 : 0);
}

Result drop_final_slash(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const std::u16string path = m.read_string(p, "drop_final_slash");
  if (path.size() > 1 && path.back() == separator)
    m.write_u(into(p, path.size() - 1), 2, 0);
  return {};
}

Result add_final_slash(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const std::u16string path = m.read_string(p, "add_final_slash");
  if (path.empty() || path.back() != separator)
    put_string(m, a, into(p, path.size()), u"/", true);
  return {};
}

// Shell patterns: '*' any run, '?' one character, [set] with ranges and a
// leading '!' or '^' for the complement; a nonzero flag ignores ASCII case.
// A star remembers only the last place to retry, so the match is at most
// text times pattern steps.
bool pattern_matches(std::u16string_view text, std::u16string_view pattern, bool folded) {
  auto same = [folded](char16_t x, char16_t y) {
    return folded ? fold(x) == fold(y) : x == y;
  };
  // The end of the set that starts at pattern[j] == '[' and whether c is
  // in it; npos when the set is not closed (then '[' is itself).
  auto in_set = [&](std::size_t j, char16_t c, bool& hit) {
    std::size_t k = j + 1;
    const bool negated = k < pattern.size() && (pattern[k] == u'!' || pattern[k] == u'^');
    if (negated) ++k;
    bool found = false;
    const std::size_t first = k;
    while (k < pattern.size() && (pattern[k] != u']' || k == first)) {
      if (k + 2 < pattern.size() && pattern[k + 1] == u'-' && pattern[k + 2] != u']') {
        const char16_t lo = folded ? fold(pattern[k]) : pattern[k];
        const char16_t hi = folded ? fold(pattern[k + 2]) : pattern[k + 2];
        const char16_t x = folded ? fold(c) : c;
        if (x >= lo && x <= hi) found = true;
        k += 3;
      } else {
        if (same(pattern[k], c)) found = true;
        ++k;
      }
    }
    if (k >= pattern.size()) return std::u16string_view::npos;
    hit = found != negated;
    return k + 1;
  };
  std::size_t i = 0, j = 0;
  std::size_t star = std::u16string_view::npos, retry = 0;
  while (i < text.size()) {
    if (j < pattern.size() && pattern[j] == u'*') {
      star = ++j;
      retry = i;
      continue;
    }
    if (j < pattern.size()) {
      bool hit = false;
      std::size_t next = std::u16string_view::npos;
      if (pattern[j] == u'[') next = in_set(j, text[i], hit);
      if (next == std::u16string_view::npos) {
        hit = pattern[j] == u'?' || same(pattern[j], text[i]);
        next = j + 1;
      }
      if (hit) {
        ++i;
        j = next;
        continue;
      }
    }
    if (star == std::u16string_view::npos) return false;
    j = star;
    i = ++retry;
  }
  while (j < pattern.size() && pattern[j] == u'*') ++j;
  return j == pattern.size();
}

Result is_pattern(Machine&, Args& a, std::size_t) {
  const std::u16string text = a.string();
  return word(text.find_first_of(u"*?[") == std::u16string::npos ? 0 : 1);
}

Result fpatmatch(Machine&, Args& a, std::size_t) {
  const std::u16string text = a.string();
  const std::u16string pattern = a.string();
  if (text.size() > name_limit || pattern.size() > name_limit)
    a.fail("a name or pattern longer than " + num(name_limit) + " characters");
  const bool folded = a.integer() != 0;
  return word(pattern_matches(text, pattern, folded) ? 1 : 0);
}

// ---- the environment

Result verenv(Machine& m, Args& a, std::size_t) {
  const std::string name = to_utf8(a.string());
  const std::optional<std::string> value = versioned_getenv(name);
  if (!value) return pointer({});
  // Kept apart from getenv's strings, which are filed by the plain name.
  const std::string key = "versioned " + name;
  auto found = m.environment.find(key);
  if (found == m.environment.end() || !m.objects[found->second].live) {
    const std::uint32_t id = m.string_object(from_utf8(*value), false);
    m.objects[id].kind = ObjectKind::environment;
    found = m.environment.insert_or_assign(key, id).first;
  }
  return pointer(m.pointer_to(found->second));
}

// ---- keys, from the key script

bool keys_left(const Machine& m) { return m.next_key < m.key_script.size(); }

Result wait_for_key(Machine& m, Args& a, std::size_t) {
  if (!keys_left(m)) a.fail("no more keys");
  const auto k = static_cast<std::int32_t>(m.key_script[m.next_key++]);
  set_variable(m, "key", k);
  set_variable(m, "full_key", k);
  return {};
}

Result char_avail(Machine& m, Args&, std::size_t) { return word(keys_left(m) ? 1 : 0); }

Result get_keycode(Machine&, Args& a, std::size_t) {
  const std::optional<std::uint32_t> code = key_code(to_utf8(a.string()));
  return word(code ? static_cast<std::int64_t>(*code) : -1);
}

// The code of the key word at the start of the text (up to a space or the
// end), -1 when it names no key; the optional pointer gets the place after
// the word.
Result key_value(Machine& m, Args& a, std::size_t) {
  const Ptr p = a.pointer();
  const std::u16string text = m.read_string(p, "key_value");
  Ptr end_out;
  if (a.end > 0) end_out = a.pointer();
  std::size_t length = 0;
  while (length < text.size() && text[length] != u' ') ++length;
  if (!end_out.null()) {
    m.check(end_out, 12, true, "key_value");
    const Ptr after = into(p, length);
    m.write_u(end_out, 4, after.id);
    m.write_u(advance(end_out, 4), 4, static_cast<std::uint32_t>(after.offset));
    m.write_u(advance(end_out, 8), 4, after.base);
  }
  const std::optional<std::uint32_t> code = key_code(to_utf8(text.substr(0, length)));
  return word(code ? static_cast<std::int64_t>(*code) : -1);
}

Result generic_key(Machine&, Args& a, std::size_t) { return word(a.integer()); }

// ---- time

// A timer's 12 bytes: the start in milliseconds of the steady clock (low
// and high word) and the duration.
std::int64_t now_ms() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

Result time_begin(Machine& m, Args& a, std::size_t) {
  const Ptr timer = a.pointer();
  const std::int32_t duration = a.integer();
  m.check(timer, 12, true, "time_begin");
  const std::int64_t start = now_ms();
  m.write_u(timer, 4, static_cast<std::uint32_t>(start));
  m.write_u(advance(timer, 4), 4, static_cast<std::uint32_t>(start >> 32));
  m.write_u(advance(timer, 8), 4, static_cast<std::uint32_t>(std::max(duration, 0)));
  return {};
}

std::int64_t time_left(Machine& m, Args& a) {
  const Ptr timer = a.pointer();
  m.check(timer, 12, false, std::string(a.name));
  const std::int64_t start =
      static_cast<std::int64_t>(m.read_u(timer, 4)) |
      static_cast<std::int64_t>(m.read_u(advance(timer, 4), 4)) << 32;
  const std::int64_t duration = m.read_u(advance(timer, 8), 4);
  return std::clamp<std::int64_t>(start + duration - now_ms(), 0, duration);
}

Result time_done(Machine& m, Args& a, std::size_t) { return word(time_left(m, a) == 0 ? 1 : 0); }

Result time_remaining(Machine& m, Args& a, std::size_t) { return word(time_left(m, a)); }

// Local time as eight shorts: year, month (1 to 12), day, hour, minute,
// second, hundredths and the day of the week (0 for Sunday).
Result time_and_day(Machine& m, Args& a, std::size_t) {
  const Ptr out = a.pointer();
  m.check(out, 16, true, "time_and_day");
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto hundredths =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
      1000 / 10;
  const std::int64_t fields[] = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                 local.tm_hour,        local.tm_min,     local.tm_sec,
                                 hundredths,           local.tm_wday};
  for (std::size_t i = 0; i < 8; ++i)
    m.write_u(advance(out, 2 * static_cast<std::int64_t>(i)), 2,
              static_cast<std::uint32_t>(fields[i]));
  return {};
}

// Waiting has nothing to wait for: the answer is whether a key is there.
Result delay(Machine& m, Args& a, std::size_t) {
  a.integer();
  a.integer();
  return word(keys_left(m) ? 1 : 0);
}

Result nothing(Machine&, Args&, std::size_t) { return {}; }

constexpr Definition definitions[] = {
    {"replace", replace, "puts the character at the position, which must hold one"},
    {"buf_zap", buf_zap, "empties buffer 1 (the only one)"},
    {"zap", zap, "empties the buffer main (the only one), gives 1"},
    {"buf_stuff", buf_stuff, "inserts exactly n characters of the string at point"},
    {"nl_forward", nl_forward, "moves point past the next newline: 1, or 0 when there is none"},
    {"nl_reverse", nl_reverse, "moves point to the newline before its line: 1, or 0 when there is none"},
    {"current_column", current_column, "the column of point; a tab reaches the next multiple of 8"},
    {"move_to_column", move_to_column, "moves point to the column on its line, or to the line's end"},
    {"horizontal", horizontal, "the position move_to_column would go to, point stays"},
    {"display_width", display_width, "the characters between the positions (no screen: each is one wide)"},
    {"lines_between", lines_between, "the newlines between the positions"},
    {"move_by_lines", move_by_lines, "moves n lines down (up when negative) to the same column, gives the lines moved"},
    {"next_screen_line", next_screen_line, "the start of the line n lines after point's, or the end (no screen: a screen line is a line)"},
    {"prev_screen_line", prev_screen_line, "the start of the line n lines before point's, or 0 (no screen: a screen line is a line)"},
    {"name_to_bufnum", name_to_bufnum, "1 for the name of the one buffer (bufname), else 0"},
    {"bufnum_to_name", bufnum_to_name, "the name of buffer 1 (bufname), null for any other"},
    {"is_pattern", is_pattern, "1 when the name holds *, ? or ["},
    {"search", search, "finds the text forward (1) or backward (0 or less), case as it is; matchstart and matchend get the match, point goes after it forward, to its start backward; 1 or 0"},
    {"set_character_color", set_character_color, "colors the characters between the positions; -1 takes the color away"},
    {"get_character_color", get_character_color, "the color at the position (-1: none), the run of that color into the two pointers"},
    {"compare_chars", compare_chars, "compares exactly n characters"},
    {"set_chars", set_chars, "fills n characters with the character"},
    {"memfcmp", memfcmp, "compares n bytes ignoring ASCII case"},
    {"get_tail", get_tail, "the place after the last '/'"},
    {"get_extension", get_extension, "the place of the last '.' of the last part, or the end"},
    {"is_path_separator", is_path_separator, "1 for '/'"},
    {"is_relative", is_relative, "1 unless the name starts with '/'"},
    {"drop_final_slash", drop_final_slash, "removes a final '/' (not that of \"/\")"},
    {"add_final_slash", add_final_slash, "appends '/' unless the name ends in one"},
    {"fpatmatch", fpatmatch, "1 when the name matches the pattern (* ? [set]), each at most 4096 characters; a nonzero flag ignores ASCII case"},
    {"verenv", verenv, "the first set of the versioned forms of the environment variable, or null"},
    {"wait_for_key", wait_for_key, "takes the next key of the key script into key and full_key; faults when none is left"},
    {"char_avail", char_avail, "1 while the key script has keys left"},
    {"get_keycode", get_keycode, "the code of a key word (\"C-x\", \"F4\"), -1 for none"},
    {"key_value", key_value, "the code of the key word the text starts with, -1 for none; the optional pointer gets the place after it"},
    {"generic_key", generic_key, "the key itself: the key script has no keypad keys to map"},
    {"delay", delay, "returns at once (nothing to wait for): 1 when a key is waiting, else 0"},
    {"time_begin", time_begin, "starts the timer for the milliseconds"},
    {"time_done", time_done, "1 once the timer's time is up"},
    {"time_remaining", time_remaining, "the timer's milliseconds left"},
    {"time_and_day", time_and_day, "local time: year, month, day, hour, minute, second, hundredths, weekday (0 Sunday)"},
    {"refresh", nothing, "does nothing: there is no screen"},
    {"maybe_refresh", nothing, "does nothing: there is no screen"},
};

}  // namespace

std::span<const Definition> editor_primitives() { return definitions; }

}  // namespace qxl::run::prim

namespace qxl::run {

void colors_inserted(Buffer& b, int at, int n) {
  if (n == 0) return;
  std::vector<ColorRun> out;
  out.reserve(b.colors.size() + 1);
  for (const ColorRun& r : b.colors) {
    if (r.end <= at) {
      out.push_back(r);
    } else if (r.start >= at) {
      out.push_back({r.start + n, r.end + n, r.color});
    } else {
      out.push_back({r.start, at, r.color});
      out.push_back({at + n, r.end + n, r.color});
    }
  }
  b.colors = std::move(out);
}

void colors_deleted(Buffer& b, int from, int to) {
  const int n = to - from;
  auto adjust = [&](int p) { return p >= to ? p - n : p > from ? from : p; };
  std::vector<ColorRun> out;
  out.reserve(b.colors.size());
  for (const ColorRun& r : b.colors) {
    const ColorRun moved{adjust(r.start), adjust(r.end), r.color};
    if (moved.start < moved.end) out.push_back(moved);
  }
  b.colors = std::move(out);
}

}  // namespace qxl::run
