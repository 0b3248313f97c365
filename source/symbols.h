// The symbol table: one entry for every distinct text the compiler meets.
//
// Reserved words, directive names, identifiers and even the constants of the
// program (keyed by their source text) share one table.  An entry keeps the
// token code it was created with for the whole compile, plus three slots the
// other subsystems hang meaning on.  Entries are never removed during a
// compile: scoping chains declarations and macro definitions behind the one
// entry of a name.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "source/tokens.h"

namespace qxl {

struct MacroDef;
struct Declaration;
struct Type;

struct Symbol {
  std::string name;
  Symbol* next = nullptr;      // next entry of the same hash chain
  Symbol* previous = nullptr;  // the entry before it in the chain
  TokenCode code = 0;      // fixed at creation
  MacroDef* macro = nullptr;
  Declaration* declaration = nullptr;
  Type* tag = nullptr;  // structure/union tag or the color class marker
  std::uint8_t bucket = 0;       // symbol_hash of the name
};

inline constexpr std::size_t symbol_bucket_count = 256;

struct SymbolTable {
  std::array<Symbol*, symbol_bucket_count> buckets{};
  std::deque<Symbol> entries;  // owns every entry; addresses are stable
  // Finds an entry without walking its chain, so that a compile of many
  // distinct names costs time in proportion to its input.  The chains are
  // kept as well, in the same order.  Open addressing with linear probing:
  // a power-of-two number of slots, at most half of them used.
  struct IndexSlot {
    Symbol* symbol = nullptr;
    std::uint32_t hash = 0;
  };
  std::vector<IndexSlot> index;
  std::size_t index_used = 0;
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

// Bucket of a text: the sum of its bytes, modulo 256.
std::size_t symbol_hash(std::string_view text);

// Hash of a text for the index: well mixed, a word of the text at a time.
std::uint32_t text_hash(std::string_view text);

// Finds or creates the entry for `text` (created with `code`), makes it the
// current symbol and returns its stored code.
TokenCode lookup_symbol(std::string_view text, TokenCode code);

// Empties the table and enters the reserved words and directive names.
void init_symbol_table();
void clear_symbol_table();

// The texts of one hash chain, head first (for tests and diagnostics).
std::vector<std::string> symbol_chain(std::size_t bucket);

}  // namespace qxl
