#include "source/symbols.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ostream>
#include <stdexcept>

#include "driver/diagnostics.h"

namespace qxl {

SymbolTable symbols;

static_assert(std::size(directive_names) == directive::tryinclude,
              "one name per directive code");

void SymbolTable::reset() { *this = SymbolTable{}; }

std::ostream& operator<<(std::ostream& out, const SymbolName& name) {
  return out << name.view();
}

SymbolName NameStore::keep(std::string_view text) {
  const std::size_t need = text.size() + 1;
  char* at;
  if (need > block_size / 4) {
    // A long text on its own, so that it leaves no large gap in a block.
    at = long_texts.emplace_back(std::make_unique_for_overwrite<char[]>(need)).get();
  } else {
    if (need > room) {
      // Left unset: a block's pages are touched only as names fill it.
      next = blocks.emplace_back(std::make_unique_for_overwrite<char[]>(block_size)).get();
      room = block_size;
    }
    at = next;
    next += need;
    room -= need;
  }
  std::memcpy(at, text.data(), text.size());
  at[text.size()] = '\0';
  return {at, static_cast<std::uint32_t>(text.size())};
}

std::size_t symbol_hash(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return sum % symbol_bucket_count;
}

TokenCode lookup_symbol(std::string_view text, TokenCode code) {
  return lookup_symbol_hashed(text, text_hash(text), code);
}

void note_empty_symbol_text() {
  console_print("internal error: null in symbol table\n");
}

[[gnu::noinline]] TokenCode add_symbol(std::string_view text,
                                       std::uint32_t hash, TokenCode code) {
  Symbol& entry = symbols.entries.emplace_back();
  entry.name = symbols.names.keep(text);
  entry.code = code;
  entry.last_use = ++symbols.clock;
  symbols.index.insert(hash, &entry);
  symbols.current = &entry;
  return code;
}

void clear_symbol_table() { symbols.reset(); }

void init_symbol_table() {
  symbols.reset();
  for (int code = tok::first_reserved; code <= tok::last_reserved; ++code)
    if (const char* name = token_name(code))
      lookup_symbol(name, static_cast<TokenCode>(code));
  TokenCode code = directive::include;
  for (const char* name : directive_names) lookup_symbol(name, code++);
}

namespace {

std::vector<Symbol*> chain_entries(std::size_t bucket) {
  if (bucket >= symbol_bucket_count) throw std::out_of_range("symbol chain");
  std::vector<Symbol*> chain;
  // A name's chain is worked out only here, for the listings that ask.
  for (Symbol& s : symbols.entries)
    if (static_cast<std::uint8_t>(symbol_hash(s.name.view())) == bucket)
      chain.push_back(&s);
  std::sort(chain.begin(), chain.end(), [](const Symbol* a, const Symbol* b) {
    return a->last_use > b->last_use;
  });
  return chain;
}

}  // namespace

std::vector<std::string> symbol_chain(std::size_t bucket) {
  std::vector<std::string> names;
  for (const Symbol* s : chain_entries(bucket))
    names.push_back(std::string(s->name));
  return names;
}

Symbol* symbol_chain_head(std::size_t bucket) {
  const std::vector<Symbol*> chain = chain_entries(bucket);
  return chain.empty() ? nullptr : chain.front();
}

}  // namespace qxl
