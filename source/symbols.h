// The symbol table: one entry for every distinct text the compiler meets.
//
// Reserved words, directive names, identifiers and even the constants of the
// program (keyed by their source text) share one table.  An entry keeps the
// token code it was created with for the whole compile, plus three slots the
// other subsystems hang meaning on.  Entries are never removed during a
// compile: scoping chains declarations and macro definitions behind the one
// entry of a name.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/hash_index.h"
#include "source/tokens.h"

namespace qxl {

struct MacroDef;
struct Declaration;
struct Type;

// An entry's text.  The bytes live in the table's name store, ended by a
// NUL, for as long as the table: the record holds a view of them, with the
// parts of a string's interface the compiler uses.
struct SymbolName {
  const char* text = "";
  std::uint32_t length = 0;

  std::size_t size() const { return length; }
  bool empty() const { return length == 0; }
  const char* data() const { return text; }
  const char* c_str() const { return text; }
  const char* begin() const { return text; }
  const char* end() const { return text + length; }
  char front() const { return text[0]; }
  char back() const { return text[length - 1]; }
  char operator[](std::size_t i) const { return text[i]; }
  std::string_view view() const { return {text, length}; }
  operator std::string_view() const { return view(); }
  explicit operator std::string() const { return std::string(view()); }
  friend bool operator==(const SymbolName& a, std::string_view b) {
    return a.view() == b;
  }
  friend bool operator==(const SymbolName& a, const char* b) {
    return a.view() == b;
  }
};
std::ostream& operator<<(std::ostream& out, const SymbolName& name);

struct Symbol {
  SymbolName name;
  // Where the code generator keeps what it works out once for this text
  // (SymbolFacts of codegen/code_buffer.h): its slot plus one, 0 for none.
  std::uint32_t facts = 0;
  MacroDef* macro = nullptr;
  Declaration* declaration = nullptr;
  Type* tag = nullptr;  // structure/union tag or the color class marker
  // When the entry was last looked up (or created), by the table's clock.
  std::uint64_t last_use = 0;
  TokenCode code = 0;  // fixed at creation
};

inline constexpr std::size_t symbol_bucket_count = 256;

// The table's entries fall into 256 hash chains by the byte sum of their
// text, each ordered most recently used first (a hit moves an entry to the
// front of its chain).  That order is fully given by the time of each
// entry's last use, so the table keeps that time and builds a chain only
// when asked (symbol_chain); look-ups go through the index.
// The texts of the entries, one after another, each ended by a NUL, in
// blocks that never move; a long text gets a block of its own.
struct NameStore {
  static constexpr std::size_t block_size = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<std::unique_ptr<char[]>> long_texts;
  std::size_t room = 0;  // bytes left at the end of the last block
  char* next = nullptr;  // where they start

  SymbolName keep(std::string_view text);
};

struct SymbolTable {
  std::deque<Symbol> entries;  // owns every entry; addresses are stable
  NameStore names;
  std::uint64_t clock = 0;     // advances with every look-up
  HashIndex<Symbol*> index;    // the entries by text_hash of their text
  Symbol* current = nullptr;   // entry of the last lookup

  void reset();
};

extern SymbolTable symbols;

// Directive codes stored with the directive names.
namespace directive {
inline constexpr TokenCode unknown = 0;
inline constexpr TokenCode include = 1;
inline constexpr TokenCode define = 2;
inline constexpr TokenCode undef = 3;
inline constexpr TokenCode if_ = 4;
inline constexpr TokenCode ifdef = 5;
inline constexpr TokenCode ifndef = 6;
inline constexpr TokenCode else_ = 7;
inline constexpr TokenCode line = 8;
inline constexpr TokenCode endif = 9;
inline constexpr TokenCode elif = 10;
inline constexpr TokenCode tryinclude = 11;
}  // namespace directive

// The directive names in the order of their codes, from directive::include.
inline constexpr const char* directive_names[] = {
    "#include", "#define", "#undef", "#if",   "#ifdef",     "#ifndef",
    "#else",    "#line",   "#endif", "#elif", "#tryinclude",
};

// Bucket of a text: the sum of its bytes, modulo 256.
std::size_t symbol_hash(std::string_view text);

// Finds or creates the entry for `text` (created with `code`), makes it the
// current symbol and returns its stored code.
TokenCode lookup_symbol(std::string_view text, TokenCode code);
// Whether the n bytes at a and b are equal.  Names are short: compared a
// word at a time in line (the last word overlapping the one before it), not
// through a call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  const auto word = [](const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  };
  const auto half = [](const char* p) {
    std::uint32_t h;
    std::memcpy(&h, p, sizeof h);
    return h;
  };
  if (n >= sizeof(std::uint64_t)) {
    const std::size_t last = n - sizeof(std::uint64_t);
    for (std::size_t i = 0; i < last; i += sizeof(std::uint64_t))
      if (word(a + i) != word(b + i)) return false;
    return word(a + last) == word(b + last);
  }
  if (n >= sizeof(std::uint32_t)) {
    const std::size_t last = n - sizeof(std::uint32_t);
    return half(a) == half(b) && half(a + last) == half(b + last);
  }
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The slow ways of lookup_symbol_hashed: the note on an empty text, and
// the creation of an entry.
void note_empty_symbol_text();
TokenCode add_symbol(std::string_view text, std::uint32_t hash,
                     TokenCode code);

// lookup_symbol for a text whose text_hash the caller has computed already
// (the scanner hashes a word in the buffer).  A hit stays in line.
inline TokenCode lookup_symbol_hashed(std::string_view text,
                                      std::uint32_t hash, TokenCode code) {
  if (text.empty()) note_empty_symbol_text();
  Symbol* const* found = symbols.index.find(hash, [text](const Symbol* s) {
    return s->name.size() == text.size() &&
           same_bytes(s->name.data(), text.data(), text.size());
  });
  if (found == nullptr) return add_symbol(text, hash, code);
  Symbol* const s = *found;
  s->last_use = ++symbols.clock;  // to the front of its chain
  symbols.current = s;
  return s->code;
}

// Empties the table and enters the reserved words and directive names.
void init_symbol_table();
void clear_symbol_table();

// The texts of one hash chain, head first (for tests and diagnostics).
std::vector<std::string> symbol_chain(std::size_t bucket);
// The entry at the head of a chain, null for an empty one.
Symbol* symbol_chain_head(std::size_t bucket);

}  // namespace qxl
