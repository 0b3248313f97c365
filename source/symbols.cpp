#include "source/symbols.h"

#include "driver/diagnostics.h"

namespace qxl {

SymbolTable symbols;

namespace {
constexpr const char* directive_names[] = {
    "#include", "#define", "#undef", "#if",   "#ifdef",     "#ifndef",
    "#else",    "#line",   "#endif", "#elif", "#tryinclude",
};
}  // namespace

void SymbolTable::reset() {
  buckets.fill(nullptr);
  entries.clear();
  current = nullptr;
}

std::size_t symbol_hash(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return sum % symbol_bucket_count;
}

TokenCode lookup_symbol(std::string_view text, TokenCode code) {
  if (text.empty()) console_print("internal error: null in symbol table\n");

  Symbol** head = &symbols.buckets[symbol_hash(text)];
  Symbol* previous = nullptr;
  for (Symbol* s = *head; s != nullptr; previous = s, s = s->next) {
    if (s->name != text) continue;
    // Move to front, so names used often sit at the head of their chain.
    if (previous != nullptr) {
      previous->next = s->next;
      s->next = *head;
      *head = s;
    }
    symbols.current = s;
    return s->code;
  }

  Symbol& entry = symbols.entries.emplace_back();
  entry.name = std::string(text);
  entry.code = code;
  entry.next = *head;
  *head = &entry;
  symbols.current = &entry;
  return code;
}

void clear_symbol_table() { symbols.reset(); }

void init_symbol_table() {
  symbols.buckets.fill(nullptr);
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
