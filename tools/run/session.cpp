#include "tools/run/session.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <cstdio>

#include "tools/key_notation.h"

namespace qxl::run {

// ------------------------------------------------------- the buffer's file

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::u16string decode_buffer_file(std::string_view bytes) {
  if (bytes.starts_with(byte_order_mark))
    return from_utf8(bytes.substr(byte_order_mark.size()));
  std::u16string text(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    text[i] = static_cast<unsigned char>(bytes[i]);
  return text;
}

std::string encode_buffer_file(std::u16string_view text) {
  return to_utf8(text);
}

// ---------------------------------------------------------------- key scripts

std::optional<std::string> parse_key_script(std::string_view text,
                                            std::vector<std::uint32_t>& keys) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (is_blank(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && !is_blank(text[i])) ++i;
    const std::string_view word = text.substr(start, i - start);
    const std::optional<std::uint32_t> code = key_code(word);
    if (!code) return std::string(word);
    keys.push_back(*code);
  }
  return std::nullopt;
}

// ------------------------------------------------------------------ dispatch

bool inserts_itself(std::uint32_t key) {
  return key >= key::control_limit && key < key::character_limit &&
         key != key::del;
}

namespace {

// The keys of a sequence in the notation, for messages.
std::string key_words(const std::vector<std::uint32_t>& keys) {
  std::string text;
  for (std::uint32_t k : keys) {
    if (!text.empty()) text += ' ';
    text += key_text(k);
  }
  return text;
}

Outcome session_fault(const Machine& m, std::string message) {
  Outcome o;
  o.kind = Outcome::Kind::fault;
  o.status = 3;
  o.text = message;
  o.message = std::move(message) + " (key " +
              std::to_string(m.next_key) + " of the script)";
  return o;
}

const PrefixKey* find_prefix(const DispatchSettings& settings,
                             std::size_t table, std::uint32_t key) {
  for (const PrefixKey& p : settings.prefixes)
    if (p.from == table && p.key == key) return &p;
  return nullptr;
}

}  // namespace

Outcome dispatch_keys(Machine& m, const DispatchSettings& settings,
                      bool has_arg, std::int32_t iter) {
  const Program& program = *m.program;
  std::size_t table = settings.root;
  std::vector<std::uint32_t> sequence;
  bool first = true;  // the numeric argument goes with the first command
  bool aborted = false;
  Outcome last_abort;
  auto table_name = [&](std::size_t t) {
    return source_name(program.key_tables[t].name);
  };
  while (m.next_key < m.key_script.size()) {
    const std::uint32_t key = m.key_script[m.next_key++];
    sequence.push_back(key);
    if (const PrefixKey* p = find_prefix(settings, table, key)) {
      table = p->to;
      continue;
    }
    const auto& bindings = program.key_tables[table].bindings;
    const auto bound = bindings.find(key);
    if (bound == bindings.end()) {
      if (table != settings.root || !inserts_itself(key))
        return session_fault(m, "the key " + key_words(sequence) +
                                    " has no binding in " + table_name(table));
      // A run of such keys goes in at once, so that a long script of typed
      // text costs one insertion.
      std::u16string text;
      const std::int32_t copies = first && has_arg ? std::max(iter, 0) : 1;
      if (static_cast<std::size_t>(copies) >
          m.options.limits.buffer_characters - m.buffer.text.size())
        return session_fault(m, "the buffer would grow beyond 256M characters");
      text.append(static_cast<std::size_t>(copies), static_cast<char16_t>(key));
      while (m.next_key < m.key_script.size()) {
        const std::uint32_t next = m.key_script[m.next_key];
        if (!inserts_itself(next) || bindings.count(next) != 0 ||
            find_prefix(settings, table, next) != nullptr ||
            text.size() >= m.options.limits.buffer_characters)
          break;
        text.push_back(static_cast<char16_t>(next));
        ++m.next_key;
      }
      try {
        m.insert_text(text);
      } catch (const Fault& failure) {
        return session_fault(m, failure.message);
      }
      first = false;
      sequence.clear();
      continue;
    }
    const Function& fn = program.functions[bound->second];
    if (!fn.command)
      return session_fault(m, "the key " + key_words(sequence) + " in " +
                                  table_name(table) + " is bound to " +
                                  source_name(fn.name) +
                                  ", which is not a command");
    m.set_builtin_int("key", static_cast<std::int32_t>(key));
    m.set_builtin_int("full_key", static_cast<std::int32_t>(key));
    m.set_builtin_int("prev_cmd", m.builtin_int("this_cmd"));
    m.set_builtin_int("this_cmd", 0);
    const Outcome o = call_from_top(m, bound->second, first && has_arg,
                                    first && has_arg ? iter : 1);
    first = false;
    table = settings.root;
    sequence.clear();
    switch (o.kind) {
      case Outcome::Kind::returned:
        break;
      case Outcome::Kind::aborted:
        aborted = true;
        last_abort = o;
        break;
      case Outcome::Kind::left:
      case Outcome::Kind::fault:
        return o;
    }
  }
  if (!sequence.empty())
    return session_fault(m, "the keys end after the prefix " +
                                key_words(sequence));
  if (aborted) return last_abort;
  return Outcome{};
}

// --------------------------------------------------------------------- tests

std::vector<std::size_t> find_tests(const Program& program,
                                    const std::vector<std::size_t>& files) {
  std::vector<std::size_t> tests;
  for (std::size_t file : files)
    for (std::size_t i = 0; i < program.functions.size(); ++i) {
      const Function& fn = program.functions[i];
      if (fn.file == file && source_name(fn.name).starts_with("test_"))
        tests.push_back(i);
    }
  return tests;
}

std::string yaml_quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

namespace {

// What a test printed, as TAP comment lines.
std::string as_comments(std::string_view printed) {
  std::string out;
  while (!printed.empty()) {
    const std::size_t end = printed.find('\n');
    const std::string_view line = printed.substr(0, end);
    out += line.empty() ? "#\n" : "# " + std::string(line) + "\n";
    if (end == std::string_view::npos) break;
    printed.remove_prefix(end + 1);
  }
  return out;
}

// The assertion of qxltest.h written on a line of a source file: the macro's
// name and its parenthesised arguments, as the source writes them.  The
// preprocessor cannot turn an argument into a string, so the report takes
// the failed expression from the source; nothing when the file cannot be
// read or the line holds no assertion.
std::optional<std::string> assertion_text(const std::string& file, int line) {
  constexpr std::string_view macro = "ASSERT";
  constexpr std::size_t longest_line = 1 << 16;
  if (file.empty() || line <= 0) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  std::string text;
  for (int n = 0; n < line && std::getline(in, text); ++n) {
  }
  if (!in || text.size() > longest_line) return std::nullopt;
  for (std::size_t at = text.find(macro); at != std::string::npos;
       at = text.find(macro, at + 1)) {
    if (at > 0 && (std::isalnum(static_cast<unsigned char>(text[at - 1])) ||
                   text[at - 1] == '_'))
      continue;
    std::size_t open = at + macro.size();
    while (open < text.size() &&
           (std::isupper(static_cast<unsigned char>(text[open])) || text[open] == '_'))
      ++open;
    while (open < text.size() && text[open] == ' ') ++open;
    if (open >= text.size() || text[open] != '(') continue;
    // The closing parenthesis, past those of strings and characters.
    int depth = 0;
    char quote = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
      const char c = text[i];
      if (quote != 0) {
        if (c == '\\') ++i;
        else if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        return text.substr(at, i + 1 - at);
      }
    }
  }
  return std::nullopt;
}

// The YAML block of a failed test.
std::string failure_block(const Outcome& o) {
  std::string message;
  switch (o.kind) {
    case Outcome::Kind::fault:
      message = o.text.empty() ? o.message : o.text;
      break;
    case Outcome::Kind::aborted:
      message = o.text.empty() ? "quick_abort() ends the test" : o.text;
      break;
    case Outcome::Kind::left:
      message = "leave(" + std::to_string(o.status) + ") ends the test";
      break;
    case Outcome::Kind::returned:
      break;
  }
  std::string block = "  ---\n  message: " + yaml_quoted(message) + "\n";
  if (!o.calls.empty() && o.kind == Outcome::Kind::aborted) {
    if (const auto assertion = assertion_text(o.calls.front().file, o.calls.front().line))
      block += "  expression: " + yaml_quoted(*assertion) + "\n";
  }
  if (!o.calls.empty() && !o.calls.front().file.empty()) {
    block += "  file: " + yaml_quoted(o.calls.front().file) + "\n";
    block += "  line: " + std::to_string(o.calls.front().line) + "\n";
  }
  if (o.kind == Outcome::Kind::fault && !o.calls.empty()) {
    block += "  backtrace:\n";
    for (const std::string& line : backtrace_lines(o.calls))
      block += "    - " + yaml_quoted(line.substr(2)) + "\n";
  }
  return block + "  ...\n";
}

}  // namespace

std::size_t run_tests(const Program& program,
                      const std::vector<std::size_t>& tests,
                      const Options& options,
                      const std::function<void(std::string_view)>& out) {
  out("TAP version 13\n1.." + std::to_string(tests.size()) + "\n");
  std::size_t failed = 0;
  for (std::size_t n = 0; n < tests.size(); ++n) {
    std::string printed;
    Output output;
    output.out = [&printed](std::string_view s) { printed.append(s); };
    output.err = [&printed](std::string_view s) { printed.append(s); };
    Machine m;
    Outcome o;
    try {
      start_machine(m, program, options, output);
      o = call_from_top(m, tests[n], options.has_arg, options.iter);
    } catch (const Fault& failure) {
      o.kind = Outcome::Kind::fault;
      o.status = 3;
      o.message = o.text = failure.message;
    }
    // error()'s text is the message; it is not repeated as a comment.
    if (o.kind == Outcome::Kind::aborted && !o.text.empty() &&
        printed.ends_with(o.text + "\n"))
      printed.resize(printed.size() - o.text.size() - 1);
    out(as_comments(printed));
    const std::string name = source_name(program.functions[tests[n]].name);
    const std::string number = std::to_string(n + 1);
    if (o.kind == Outcome::Kind::returned) {
      out("ok " + number + " - " + name + "\n");
      continue;
    }
    ++failed;
    out("not ok " + number + " - " + name + "\n" + failure_block(o));
  }
  return failed;
}

}  // namespace qxl::run
