#include "source/symbols.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "driver/diagnostics.h"

namespace qxl {

SymbolTable symbols;

namespace {
constexpr const char* directive_names[] = {
    "#include", "#define", "#undef", "#if",   "#ifdef",     "#ifndef",
    "#else",    "#line",   "#endif", "#elif", "#tryinclude",
};
}  // namespace

namespace {
constexpr std::size_t initial_index_slots = 4096;
}  // namespace

void SymbolTable::reset() {
  clock = 0;
  index.assign(initial_index_slots, IndexSlot{});
  index_used = 0;
  entries.clear();
  current = nullptr;
}

std::size_t symbol_hash(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return sum % symbol_bucket_count;
}

namespace {

std::uint64_t load_u64(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

std::uint32_t load_u32(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

}  // namespace

std::uint32_t text_hash(std::string_view text) {
  constexpr std::uint64_t multiplier = 0xBF58476D1CE4E5B9ull;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  // Whole words, the last one overlapping the one before it when the length
  // is no multiple of eight; shorter texts in two overlapping halves or three
  // single bytes.  With the length mixed in, equal words mean equal texts.
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) {
      h = (h ^ load_u64(p + i)) * multiplier;
      h ^= h >> 31;
    }
    h = (h ^ load_u64(p + n - 8)) * multiplier;
  } else if (n >= 4) {
    const std::uint64_t word =
        load_u32(p) | (std::uint64_t{load_u32(p + n - 4)} << 32);
    h = (h ^ word) * multiplier;
  } else if (n != 0) {
    const auto byte = [p](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    h = (h ^ (byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16)) * multiplier;
  }
  h = (h ^ (h >> 29)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

namespace {

// Doubles the index and places every entry again.
void grow_index() {
  std::vector<SymbolTable::IndexSlot> old;
  old.swap(symbols.index);
  symbols.index.assign(old.size() * 2, SymbolTable::IndexSlot{});
  const std::size_t mask = symbols.index.size() - 1;
  for (const SymbolTable::IndexSlot& slot : old) {
    if (slot.symbol == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (symbols.index[i].symbol != nullptr) i = (i + 1) & mask;
    symbols.index[i] = slot;
  }
}

}  // namespace

TokenCode lookup_symbol(std::string_view text, TokenCode code) {
  if (text.empty()) console_print("internal error: null in symbol table\n");
  if (symbols.index.empty()) symbols.reset();

  const std::uint32_t hash = text_hash(text);
  const std::size_t mask = symbols.index.size() - 1;
  std::size_t i = hash & mask;
  for (;; i = (i + 1) & mask) {
    const SymbolTable::IndexSlot& slot = symbols.index[i];
    if (slot.symbol == nullptr) break;
    if (slot.hash != hash || slot.symbol->name.size() != text.size() ||
        std::memcmp(slot.symbol->name.data(), text.data(), text.size()) != 0)
      continue;
    Symbol* s = slot.symbol;
    s->last_use = ++symbols.clock;  // to the front of its chain
    symbols.current = s;
    return s->code;
  }

  Symbol& entry = symbols.entries.emplace_back();
  entry.name = std::string(text);
  entry.code = code;
  entry.bucket = static_cast<std::uint8_t>(symbol_hash(text));
  entry.last_use = ++symbols.clock;
  symbols.index[i] = {&entry, hash};
  if (++symbols.index_used * 2 > symbols.index.size()) grow_index();
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
  for (Symbol& s : symbols.entries)
    if (s.bucket == bucket) chain.push_back(&s);
  std::sort(chain.begin(), chain.end(), [](const Symbol* a, const Symbol* b) {
    return a->last_use > b->last_use;
  });
  return chain;
}

}  // namespace

std::vector<std::string> symbol_chain(std::size_t bucket) {
  std::vector<std::string> names;
  for (const Symbol* s : chain_entries(bucket)) names.push_back(s->name);
  return names;
}

Symbol* symbol_chain_head(std::size_t bucket) {
  const std::vector<Symbol*> chain = chain_entries(bucket);
  return chain.empty() ? nullptr : chain.front();
}

}  // namespace qxl
