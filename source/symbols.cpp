#include "source/symbols.h"

#include <cstring>

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
  buckets.fill(nullptr);
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
    // Move to front, so names used often sit at the head of their chain.
    if (s->previous != nullptr) {
      Symbol** head = &symbols.buckets[s->bucket];
      s->previous->next = s->next;
      if (s->next != nullptr) s->next->previous = s->previous;
      s->previous = nullptr;
      s->next = *head;
      (*head)->previous = s;
      *head = s;
    }
    symbols.current = s;
    return s->code;
  }

  Symbol& entry = symbols.entries.emplace_back();
  entry.name = std::string(text);
  entry.code = code;
  entry.bucket = static_cast<std::uint8_t>(symbol_hash(text));
  Symbol** head = &symbols.buckets[entry.bucket];
  entry.next = *head;
  if (*head != nullptr) (*head)->previous = &entry;
  *head = &entry;
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

std::vector<std::string> symbol_chain(std::size_t bucket) {
  std::vector<std::string> names;
  for (Symbol* s = symbols.buckets.at(bucket); s != nullptr; s = s->next)
    names.push_back(s->name);
  return names;
}

}  // namespace qxl
