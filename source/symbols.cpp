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
  index.clear();
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
  if (auto found = symbols.index.find(text); found != symbols.index.end()) {
    Symbol* s = found->second;
    // Move to front, so names used often sit at the head of their chain.
    if (s->previous != nullptr) {
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
  entry.next = *head;
  if (*head != nullptr) (*head)->previous = &entry;
  *head = &entry;
  symbols.index.emplace(entry.name, &entry);
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
