// The bare-tokenizer floor: the least work a compiler's front end does to a
// source before it can parse it, written plainly and built with -O2, so that
// qxl's reading, lexing, preprocessing and name look-up have a yardstick.
//
// It reads a file whole, splits it into tokens (names, numbers, operators,
// string and character constants with their escapes decoded, comments
// skipped, lines counted), hashes every name in the scan loop and interns it
// into an open-addressing table, and follows `#include "file"` into the
// named file (relative to the including file's folder).  Other directives
// are scanned as ordinary tokens: no macro is defined or expanded and no
// condition is evaluated, which is why this is a floor and not a
// preprocessor.
//
// It prints a checksum of what it saw (token counts, distinct names, lines,
// a hash of the values) so that none of the work can be optimised away.
//
// Usage: qxl-floor FILE
// Exit status 0, or 1 with one line on standard error when a file cannot be
// read or includes nest too deeply.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Includes nested deeper than this are taken for a loop.
constexpr int kMaxIncludeDepth = 32;
// The name table starts with this many slots (a power of two) and doubles
// whenever it is three quarters full.
constexpr std::size_t kInitialSlots = 1024;
constexpr std::uint32_t kHashMultiplier = 31;
constexpr std::uint32_t kEmptySlot = 0xffffffffu;
constexpr std::uint64_t kChecksumMultiplier = 1000003;

enum class CharClass : std::uint8_t { other, space, newline, letter, digit };

constexpr std::array<CharClass, 256> make_classes() {
  std::array<CharClass, 256> table{};
  for (auto& c : table) c = CharClass::other;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = CharClass::letter;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = CharClass::letter;
  table['_'] = CharClass::letter;
  for (int c = '0'; c <= '9'; ++c) table[c] = CharClass::digit;
  table[' '] = table['\t'] = table['\r'] = table['\f'] = table['\v'] =
      CharClass::space;
  table['\n'] = CharClass::newline;
  return table;
}
constexpr std::array<CharClass, 256> kClasses = make_classes();

CharClass class_of(char c) { return kClasses[static_cast<unsigned char>(c)]; }
bool is_name_char(char c) {
  const CharClass k = class_of(c);
  return k == CharClass::letter || k == CharClass::digit;
}

// The length of the operator at p: the longest of one, two or three
// characters, matched as a lexer's switch does.  The text ends in a NUL
// (std::string's terminator), so looking one or two characters ahead never
// reads past it.
std::size_t operator_length(const char* p) {
  const char next = p[1];
  switch (*p) {
    case '<':
    case '>':
      if (next == *p) return p[2] == '=' ? 3 : 2;
      return next == '=' ? 2 : 1;
    case '&':
    case '|':
    case '+':
      return next == *p || next == '=' ? 2 : 1;
    case '-':
      return next == '-' || next == '=' || next == '>' ? 2 : 1;
    case '=':
    case '!':
    case '*':
    case '/':
    case '%':
    case '^':
      return next == '=' ? 2 : 1;
    case '#':
      return next == '#' ? 2 : 1;
    case '.':
      return next == '.' && p[2] == '.' ? 3 : 1;
    default:
      return 1;
  }
}

// Interned names: the text lives once in `text`; each slot holds the index
// of its name in `names`, or kEmptySlot.
struct NameEntry {
  std::uint32_t hash;
  std::uint32_t offset;
  std::uint32_t length;
};

struct NameTable {
  std::vector<std::uint32_t> slots = std::vector<std::uint32_t>(kInitialSlots, kEmptySlot);
  std::vector<NameEntry> names;
  std::string text;
};

struct Counts {
  std::uint64_t names = 0;
  std::uint64_t numbers = 0;
  std::uint64_t strings = 0;
  std::uint64_t chars = 0;
  std::uint64_t operators = 0;
  std::uint64_t includes = 0;
  std::uint64_t lines = 0;
  std::uint64_t checksum = 0;
};

struct FloorState {
  NameTable table;
  Counts counts;
  std::string decoded;  // the value of the last string constant
};

FloorState state;

void mix(std::uint64_t value) {
  state.counts.checksum = state.counts.checksum * kChecksumMultiplier + value;
}

void grow_table() {
  NameTable& t = state.table;
  std::vector<std::uint32_t> bigger(t.slots.size() * 2, kEmptySlot);
  const std::size_t mask = bigger.size() - 1;
  for (std::uint32_t i = 0; i < t.names.size(); ++i) {
    std::size_t s = t.names[i].hash & mask;
    while (bigger[s] != kEmptySlot) s = (s + 1) & mask;
    bigger[s] = i;
  }
  t.slots.swap(bigger);
}

// Returns the name's index, adding it when it is new.
std::uint32_t intern(const char* start, std::uint32_t length,
                     std::uint32_t hash) {
  NameTable& t = state.table;
  const std::size_t mask = t.slots.size() - 1;
  std::size_t s = hash & mask;
  for (;;) {
    const std::uint32_t index = t.slots[s];
    if (index == kEmptySlot) break;
    const NameEntry& e = t.names[index];
    if (e.hash == hash && e.length == length &&
        std::string_view(t.text.data() + e.offset, length) ==
            std::string_view(start, length))
      return index;
    s = (s + 1) & mask;
  }
  const auto index = static_cast<std::uint32_t>(t.names.size());
  t.names.push_back({hash, static_cast<std::uint32_t>(t.text.size()), length});
  t.text.append(start, length);
  t.slots[s] = index;
  if (t.names.size() * 4 >= t.slots.size() * 3) grow_table();
  return index;
}

bool read_file(const std::string& path, std::string& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char chunk[1 << 16];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one character of a string or character constant at p (below
// end), escapes included; returns its value and moves p past it.
unsigned decode_char(const char*& p, const char* end) {
  if (*p != '\\' || p + 1 >= end) return static_cast<unsigned char>(*p++);
  ++p;
  const char c = *p++;
  switch (c) {
    case 'n': return '\n';
    case 't': return '\t';
    case 'r': return '\r';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'v': return '\v';
    case 'a': return '\a';
    case 'e': return 27;
    case 'x': {
      unsigned v = 0;
      int d;
      while (p < end && (d = hex_value(*p)) >= 0) { v = v * 16 + d; ++p; }
      return v & 0xff;
    }
    default:
      if (c >= '0' && c <= '7') {
        unsigned v = c - '0';
        for (int i = 0; i < 2 && p < end && *p >= '0' && *p <= '7'; ++i)
          v = v * 8 + (*p++ - '0');
        return v & 0xff;
      }
      return static_cast<unsigned char>(c);
  }
}

// Scans a quoted constant whose opening quote is at p; leaves p after the
// closing quote (or at the end of the line or text when it is missing).
void scan_quoted(const char*& p, const char* end, char quote) {
  ++p;
  state.decoded.clear();
  while (p < end && *p != quote && *p != '\n')
    state.decoded.push_back(static_cast<char>(decode_char(p, end)));
  if (p < end && *p == quote) ++p;
}

const char* scan_number(const char* p, const char* end) {
  std::uint64_t value = 0;
  unsigned base = 10;
  if (*p == '0' && p + 1 < end && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (*p == '0') {
    base = 8;
  }
  for (; p < end && is_name_char(*p); ++p) {
    const int d = hex_value(*p);
    if (d < 0 || static_cast<unsigned>(d) >= base) continue;  // a suffix
    value = value * base + d;
  }
  mix(value);
  return p;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool tokenize_file(const std::string& path, int depth);

// At a `#` that starts a line: when the directive is `include "name"`,
// tokenizes the named file.  The directive's tokens are counted either way.
bool directive(const char*& p, const char* end, const std::string& path,
               int depth) {
  ++state.counts.operators;  // the '#'
  ++p;
  while (p < end && class_of(*p) == CharClass::space) ++p;
  const char* word = p;
  while (p < end && is_name_char(*p)) ++p;
  if (std::string_view(word, p - word) != "include") {
    p = word;  // an ordinary directive: its words are scanned as tokens
    return true;
  }
  ++state.counts.names;
  while (p < end && class_of(*p) == CharClass::space) ++p;
  if (p >= end || *p != '"') return true;
  scan_quoted(p, end, '"');
  ++state.counts.strings;
  ++state.counts.includes;
  return tokenize_file(folder_of(path) + state.decoded, depth + 1);
}

bool tokenize_text(const std::string& text, const std::string& path,
                   int depth) {
  const char* p = text.data();
  const char* end = p + text.size();
  bool line_start = true;
  while (p < end) {
    const char c = *p;
    switch (class_of(c)) {
      case CharClass::newline:
        ++state.counts.lines;
        line_start = true;
        ++p;
        continue;
      case CharClass::space:
        // A run of blanks in one tight loop; the NUL after the text stops it.
        do ++p; while (class_of(*p) == CharClass::space);
        continue;
      case CharClass::letter: {
        const char* start = p;
        std::uint32_t hash = 0;
        while (p < end && is_name_char(*p))
          hash = hash * kHashMultiplier + static_cast<unsigned char>(*p++);
        mix(intern(start, static_cast<std::uint32_t>(p - start), hash));
        ++state.counts.names;
        break;
      }
      case CharClass::digit:
        p = scan_number(p, end);
        ++state.counts.numbers;
        break;
      case CharClass::other:
        if (c == '/' && p + 1 < end && p[1] == '/') {
          while (p < end && *p != '\n') ++p;
          continue;
        }
        if (c == '/' && p + 1 < end && p[1] == '*') {
          p += 2;
          while (p < end && !(*p == '*' && p + 1 < end && p[1] == '/')) {
            if (*p == '\n') ++state.counts.lines;
            ++p;
          }
          p = p < end ? p + 2 : end;
          continue;
        }
        if (c == '"' || c == '\'') {
          scan_quoted(p, end, c);
          if (c == '"') {
            ++state.counts.strings;
            mix(state.decoded.size());
          } else {
            ++state.counts.chars;
            mix(state.decoded.empty() ? 0 : static_cast<unsigned char>(state.decoded[0]));
          }
          break;
        }
        if (c == '#' && line_start) {
          if (!directive(p, end, path, depth)) return false;
          break;
        }
        {
          const std::size_t length = operator_length(p);
          mix(static_cast<unsigned char>(c) * length);
          p += length;
          ++state.counts.operators;
        }
        break;
    }
    line_start = false;
  }
  return true;
}

bool tokenize_file(const std::string& path, int depth) {
  if (depth > kMaxIncludeDepth) {
    std::fprintf(stderr, "qxl-floor: includes nested too deeply at %s\n",
                 path.c_str());
    return false;
  }
  std::string text;
  if (!read_file(path, text)) {
    std::fprintf(stderr, "qxl-floor: cannot read %s\n", path.c_str());
    return false;
  }
  return tokenize_text(text, path, depth);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qxl-floor FILE\n");
    return 1;
  }
  if (!tokenize_file(argv[1], 0)) return 1;
  const Counts& c = state.counts;
  std::printf(
      "tokens %llu (names %llu, numbers %llu, strings %llu, chars %llu, "
      "operators %llu), distinct names %zu, lines %llu, includes %llu, "
      "checksum %016llx\n",
      static_cast<unsigned long long>(c.names + c.numbers + c.strings +
                                      c.chars + c.operators),
      static_cast<unsigned long long>(c.names),
      static_cast<unsigned long long>(c.numbers),
      static_cast<unsigned long long>(c.strings),
      static_cast<unsigned long long>(c.chars),
      static_cast<unsigned long long>(c.operators), state.table.names.size(),
      static_cast<unsigned long long>(c.lines),
      static_cast<unsigned long long>(c.includes),
      static_cast<unsigned long long>(c.checksum));
  return 0;
}
