#include "tools/c_prototypes.h"

#include "types/types.h"

namespace qxl {

TypeNames built_in_type_names() {
  TypeNames names;
  for (const VariableRow& row : builtin_type_name_table()) {
    names.by_code[row.type_code] = std::string(row.name);
    const Type* type = decode_type_code(row.type_code, 0);
    names.by_shape[type_signature(type, 0, false)] = std::string(row.name);
  }
  return names;
}

std::string c_declaration(const TypeNames& names, int code, int array_count,
                          std::string_view declarator) {
  namespace tc = type_code;
  const int base = code % tc::pointer_level;
  std::string stars;
  for (int rest = code; rest > tc::pointer_level; rest -= tc::pointer_level)
    stars += '*';
  std::string inner = stars + std::string(declarator);
  if (array_count != 0) inner += "[" + std::to_string(array_count) + "]";
  if (base == tc::int_function_pointer) return "int (*" + inner + ")()";
  std::string text;
  switch (base) {
    case tc::none: text = "void"; break;
    case tc::char_:
    case tc::char_alias: text = "char"; break;
    case tc::short_: text = "short"; break;
    case tc::int_: text = "int"; break;
    case tc::spot: text = "spot"; break;
    default: {
      auto found = names.by_code.find(base);
      text = found != names.by_code.end() ? found->second : "?";
    }
  }
  return inner.empty() ? text : text + " " + inner;
}

namespace {

// Reads one type of a signature starting at `pos` and returns its C text;
// `pos` ends just after it.  What it does not know reads as "?", and every
// call moves past at least one byte while any is left.
std::string c_type_of_signature(const TypeNames& names, std::string_view s,
                                std::size_t& pos) {
  if (pos >= s.size()) return "?";
  const char c = s[pos++];
  switch (c) {
    case 'I': return "int";
    case 'C': return "char";
    case 'T': return "short";
    case 'B': return "byte";
    case '.': return "spot";
    case 'V': return "void";
    case '*': {
      std::string target = c_type_of_signature(names, s, pos);
      return target + (target.back() == '*' ? "*" : " *");
    }
    case '[': {
      std::size_t digits = pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
      const std::string count(s.substr(digits, pos - digits));
      std::string element = c_type_of_signature(names, s, pos);
      if (pos < s.size() && s[pos] == ']') ++pos;
      return element + "[" + count + "]";
    }
    case 'S': {
      const std::size_t start = pos - 1;
      if (pos < s.size() && s[pos] == '-') {
        ++pos;
        return "struct";
      }
      if (pos < s.size() && s[pos] == '{') ++pos;
      std::vector<std::string> members;
      while (pos < s.size() && s[pos] != '}')
        members.push_back(c_type_of_signature(names, s, pos));
      if (pos < s.size()) ++pos;
      auto named = names.by_shape.find(std::string(s.substr(start, pos - start)));
      if (named != names.by_shape.end()) return named->second;
      std::string text = "struct {";
      for (const std::string& m : members) text += m + "; ";
      text.back() = '}';
      return text;
    }
    default: return "?";
  }
}

}  // namespace

CPrototype parse_signature(const TypeNames& names, std::string_view s) {
  CPrototype parsed;
  bool optional = false;
  std::size_t pos = 0;
  while (pos < s.size()) {
    if (s[pos] == '>') {
      parsed.variadic = true;
      break;
    }
    if (s[pos] == '?') {
      optional = true;
      ++pos;
    }
    const std::size_t start = pos;
    PrototypeParameter p;
    p.c_type = c_type_of_signature(names, s, pos);
    p.signature = std::string(s.substr(start, pos - start));
    p.optional = optional;
    parsed.parameters.push_back(std::move(p));
    if (pos < s.size() && s[pos] == ';') ++pos;
  }
  return parsed;
}

CPrototype c_prototype(const TypeNames& names, const PrimitiveRow& row) {
  CPrototype prototype = parse_signature(names, row.signature);
  // The call part, "name(...)", with each parameter's place in it; the
  // result type then goes around it.
  std::string call = std::string(row.name) + "(";
  bool first = true;
  bool in_optional = false;
  for (PrototypeParameter& p : prototype.parameters) {
    if (p.optional && !in_optional) {
      call += "[";
      in_optional = true;
      if (!first) call += ", ";
    } else if (!first) {
      call += ", ";
    }
    p.start = call.size();
    call += p.c_type;
    p.end = call.size();
    first = false;
  }
  if (in_optional) call += "]";
  if (prototype.variadic) {
    if (!first) call += ", ";
    prototype.variadic_start = call.size();
    call += "...";
    prototype.variadic_end = call.size();
  }
  call += ")";
  prototype.text = c_declaration(names, row.result_code, 0, call);
  const std::size_t shift = prototype.text.find(call);
  for (PrototypeParameter& p : prototype.parameters) {
    p.start += shift;
    p.end += shift;
  }
  if (prototype.variadic) {
    prototype.variadic_start += shift;
    prototype.variadic_end += shift;
  }
  return prototype;
}

}  // namespace qxl
