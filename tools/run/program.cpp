#include "tools/run/program.h"

#include <algorithm>
#include <utility>

#include "bytecode/byte_reader.h"
#include "bytecode/format.h"
#include "bytecode/instructions.h"
#include "tools/disassembler.h"
#include "types/builtins.h"

namespace qxl::run {
namespace {

std::optional<PrimitiveInfo> primitive_from_table(int number) {
  const PrimitiveRow* row = find_primitive_by_number(number);
  if (row == nullptr) return std::nullopt;
  return PrimitiveInfo{row->name, row->max_words == -1};
}

// A name read from the file, as it stores it.
std::string text(std::span<const std::uint8_t> name) {
  return std::string(name.begin(), name.end());
}

// Appends `name` to the color class table unless it is there.
void add_color_class(std::vector<std::string>& classes,
                     const std::string& name) {
  if (std::find(classes.begin(), classes.end(), name) == classes.end())
    classes.push_back(name);
}

// A key binding record as the file gives it: the table's number in the
// file, the key, and the function record it follows (an index into the
// file's functions).
struct FileBinding {
  std::uint8_t table = 0;
  std::uint32_t key = 0;
  std::size_t function = 0;
};

// The key tables and bindings of one file.
struct FileKeys {
  std::vector<std::string> tables;  // names, in the order of their records
  std::vector<FileBinding> bindings;
};

// Takes the records of a checked file apart into `out` (functions and
// globals with their file index set to `file_index`).  The file has passed
// the disassembler's checks, so its reads cannot run out and its record
// kinds are known; the reads stay checked all the same, and anything
// unexpected throws ReadPastEnd.
void split_records(std::span<const std::uint8_t> bytes, std::size_t file_index,
                   SourceFile& file, std::vector<Function>& functions,
                   std::vector<Global>& globals,
                   std::vector<std::string>& color_classes, FileKeys& keys) {
  ByteReader c{bytes, 8};
  const std::uint32_t pool_size = c.u32();
  const std::uint32_t debug_size = c.u32();
  for (bool ended = false; !ended;) {
    const std::uint8_t kind = c.u8();
    switch (kind) {
      case record::command:
      case record::function: {
        Function f;
        f.command = kind == record::command;
        f.file = file_index;
        f.name = text(c.name());
        const std::uint32_t code_length = c.u32();
        const std::uint16_t area = c.u16();
        const std::uint16_t count = c.u16();
        f.argument_words = c.u16();
        f.frame_words = c.u16();
        auto code = c.take(code_length - 4);
        f.code.assign(code.begin(), code.end());
        ByteReader table{c.take(area), 0};
        ByteReader names{table.bytes, 2u * count};
        for (std::size_t i = 0; i < count; ++i) {
          NameReference ref;
          ref.code_offset = table.u16();
          ref.name = text(names.name());
          f.references.push_back(std::move(ref));
        }
        functions.push_back(std::move(f));
        break;
      }
      case record::variable:
      case record::initialized_variable:
      case record::buffer_variable:
      case record::window_variable: {
        Global g;
        g.file = file_index;
        g.kind = kind;
        g.attributes = c.u8();
        g.name = text(c.name());
        g.type = text(c.name());
        g.size = c.u32();
        if (kind != record::variable) {
          auto data = c.take(
              variable_data_size(kind, g.type, g.size).value_or(g.size));
          g.data.assign(data.begin(), data.end());
        }
        globals.push_back(std::move(g));
        break;
      }
      case record::key_table: {
        Global g;
        g.file = file_index;
        g.kind = kind;
        g.name = text(c.name());
        g.type = "*T";
        keys.tables.push_back(g.name);
        globals.push_back(std::move(g));
        break;
      }
      case record::key_binding: {
        // The checks have made sure that a function record comes first.
        if (functions.empty()) throw ReadPastEnd{};
        FileBinding b;
        b.table = c.u8();
        b.key = c.u32();
        b.function = functions.size() - 1;
        keys.bindings.push_back(b);
        break;
      }
      case record::color_class:
        add_color_class(color_classes, text(c.name()));
        break;
      case record::color_scheme:
        c.name();
        break;
      case record::color_assignment:
        c.take(12);
        break;
      case record::end:
        ended = true;
        break;
      default:
        throw ReadPastEnd{};
    }
  }
  auto pool = c.take(pool_size);
  file.pool.assign(pool.begin(), pool.end());
  auto debug = c.take(debug_size);
  file.debug_names.assign(debug.begin(), debug.end());
}

// Whether the instruction at `opcode` wants a function (true) or a
// variable (false) behind its name reference.
bool wants_function(std::uint8_t opcode) {
  return opcode == op::call || opcode == op::push_function;
}

}  // namespace

void for_each_name_operand(const std::vector<std::uint8_t>& code,
                           const NameOperandVisit& visit) {
  std::size_t pc = 0;
  const std::size_t n = code.size();
  auto skip = [&](std::size_t bytes) { pc = bytes > n - pc ? n : pc + bytes; };
  while (pc < n) {
    const std::uint8_t opcode = code[pc++];
    if (opcode >= op::first_primitive && opcode <= op::last_primitive) {
      const PrimitiveRow* row = find_primitive_by_number(opcode);
      if (row != nullptr && row->max_words == -1) skip(1);
      continue;
    }
    if (opcode >= instruction_table.size()) return;
    std::uint8_t last = 0;
    for (Operand operand : instruction_table[opcode].operands) {
      switch (operand) {
        case Operand::none:
          break;
        case Operand::sbyte:
        case Operand::ubyte:
          if (pc < n) last = code[pc];
          if (opcode == op::primitive_ext && pc < n) {
            const PrimitiveRow* row =
                find_primitive_by_number(op::extended_primitive_base + last);
            skip(1);
            if (row != nullptr && row->max_words == -1) skip(1);
            break;
          }
          skip(1);
          break;
        case Operand::word16:
        case Operand::rel16:
          skip(2);
          break;
        case Operand::int32:
        case Operand::off32:
          skip(4);
          break;
        case Operand::nameref:
          visit(opcode, pc);
          skip(2);
          break;
        case Operand::name:
          while (pc < n && code[pc] != 0) ++pc;
          skip(1);
          break;
        case Operand::narrow_offset:
          skip((last & narrow::wide_offset) != 0 ? 2 : 1);
          break;
        case Operand::switch_table: {
          if (n - pc < 2) return;
          const std::size_t count = get_u16(code.data() + pc);
          skip(2 + 6 * count);
          break;
        }
        case Operand::restore_code:
          // The restore code is walked as ordinary instructions: step over
          // the length byte only.
          skip(1);
          break;
      }
    }
  }
}

std::string source_name(const std::string& stored) {
  std::string out = stored;
  std::replace(out.begin(), out.end(), '-', '_');
  return out;
}

std::string stored_name(const std::string& source) {
  std::string out = source;
  std::replace(out.begin(), out.end(), '_', '-');
  return out;
}

std::string debug_file_name(const SourceFile& file, std::uint32_t offset) {
  const auto& d = file.debug_names;
  if (offset > d.size() || d.size() - offset < 5) return "";
  const std::uint32_t length = get_u32(d.data() + offset);
  const std::size_t start = offset + 4;
  if (length == 0 || length > d.size() - start) return "";
  return std::string(d.begin() + static_cast<std::ptrdiff_t>(start),
                     d.begin() + static_cast<std::ptrdiff_t>(start + length - 1));
}

std::string shown_file_name(const Program& program, std::size_t file,
                            std::uint32_t offset) {
  if (file >= program.files.size()) return "";
  std::string name = debug_file_name(program.files[file], offset);
  auto shown = program.shown_names.find(name);
  return shown == program.shown_names.end() ? name : shown->second;
}

std::optional<std::size_t> find_key_table(const Program& program,
                                          const std::string& name) {
  const std::string stored = stored_name(name);
  for (std::size_t i = 0; i < program.key_tables.size(); ++i)
    if (program.key_tables[i].name == stored) return i;
  return std::nullopt;
}

std::optional<std::string> load_file(Program& program, const std::string& path,
                                     std::span<const std::uint8_t> bytes) {
  const Disassembly check = disassemble(bytes, {primitive_from_table});
  if (check.error)
    return path + ": offset " + std::to_string(check.error->offset) + ": " +
           check.error->message;

  SourceFile file;
  file.path = path;
  std::vector<Function> functions;
  std::vector<Global> globals;
  std::vector<std::string> color_classes = program.color_classes;
  FileKeys keys;
  try {
    split_records(bytes, program.files.size(), file, functions, globals,
                  color_classes, keys);
  } catch (const ReadPastEnd&) {
    return path + ": the file is cut short";
  }

  // Names.  A function defined twice is an error naming both files.  A
  // global declared in several files is one variable when every
  // declaration has the same kind and type and at most one of them gives it
  // a value (an initializer, or a non-zero image of a buffer or window
  // variable); that one supplies the value.  A key table declared in
  // several files is one table.  Anything else defined twice is an error
  // naming both files.
  const std::size_t file_index = program.files.size();
  auto path_of = [&](std::size_t file) {
    return file == file_index ? path : program.files[file].path;
  };
  auto clash = [&](const std::string& name, std::size_t other) {
    return "duplicate definition of " + source_name(name) + " in " +
           path_of(other) + " and " + path;
  };
  auto has_value = [](const Global& g) {
    if (g.kind == record::initialized_variable) return true;
    return std::any_of(g.data.begin(), g.data.end(),
                       [](std::uint8_t b) { return b != 0; });
  };
  auto same_kind = [](const Global& a, const Global& b) {
    auto family = [](std::uint8_t kind) {
      return kind == record::initialized_variable ? record::variable : kind;
    };
    return family(a.kind) == family(b.kind);
  };

  Program staged = program;  // committed only when the whole file is good
  staged.files.push_back({path, {}, {}});
  const std::size_t first_function = staged.functions.size();
  for (Function& f : functions) {
    auto found = staged.names.find(f.name);
    if (found != staged.names.end()) {
      const std::size_t other = found->second.is_function
                                    ? staged.functions[found->second.index].file
                                    : staged.globals[found->second.index].file;
      return clash(f.name, other);
    }
    staged.names[f.name] = {true, staged.functions.size()};
    staged.functions.push_back(std::move(f));
  }
  for (Global& g : globals) {
    auto found = staged.names.find(g.name);
    if (found == staged.names.end()) {
      staged.names[g.name] = {false, staged.globals.size()};
      staged.globals.push_back(std::move(g));
      continue;
    }
    const Program::Definition d = found->second;
    if (d.is_function) return clash(g.name, staged.functions[d.index].file);
    Global& old = staged.globals[d.index];
    if (!same_kind(old, g) || old.type != g.type || old.size != g.size ||
        (has_value(old) && has_value(g)))
      return clash(g.name, old.file);
    if (has_value(g)) {
      old.kind = g.kind;
      old.attributes = g.attributes;
      old.data = std::move(g.data);
      old.file = g.file;
    }
  }
  // Key tables by name over all files; a binding to a table number the
  // file does not declare binds nothing.  Table number n of the file is
  // entry n - 1 of `tables`.
  std::vector<std::size_t> tables;
  for (const std::string& name : keys.tables) {
    auto known = std::find_if(
        staged.key_tables.begin(), staged.key_tables.end(),
        [&](const KeyTable& t) { return t.name == name; });
    if (known == staged.key_tables.end()) {
      staged.key_tables.push_back({name, {}});
      known = staged.key_tables.end() - 1;
    }
    tables.push_back(
        static_cast<std::size_t>(known - staged.key_tables.begin()));
  }
  for (const FileBinding& b : keys.bindings) {
    if (b.table == 0 || b.table > tables.size()) continue;
    staged.key_tables[tables[b.table - 1u]].bindings[b.key] =
        first_function + b.function;
  }
  staged.files.back() = std::move(file);
  staged.color_classes = std::move(color_classes);
  program = std::move(staged);
  return std::nullopt;
}

std::optional<std::string> link(Program& program) {
  for (Function& f : program.functions) {
    f.target_at.assign(f.code.size(), -1);
    std::map<std::size_t, const NameReference*> by_offset;
    for (const NameReference& ref : f.references)
      by_offset[ref.code_offset] = &ref;
    std::optional<std::string> problem;
    for_each_name_operand(f.code, [&](std::uint8_t opcode, std::size_t at) {
      if (problem) return;
      auto ref = by_offset.find(at);
      if (ref == by_offset.end()) {
        problem = "function " + source_name(f.name) +
                  " has a name reference missing from its table";
        return;
      }
      const std::string& name = ref->second->name;
      auto found = program.names.find(name);
      if (found == program.names.end()) {
        problem = "function " + source_name(f.name) + " in " +
                  program.files[f.file].path + " refers to " +
                  source_name(name) + ", which no file defines";
        return;
      }
      const bool function = wants_function(opcode);
      if (found->second.is_function != function) {
        problem = "function " + source_name(f.name) + " in " +
                  program.files[f.file].path + " uses " + source_name(name) +
                  " as a " + (function ? "function" : "variable") +
                  ", but it is a " +
                  (found->second.is_function ? "function" : "variable");
        return;
      }
      f.target_at[at] = static_cast<std::int32_t>(found->second.index);
    });
    if (problem) return problem;
  }
  return std::nullopt;
}

}  // namespace qxl::run
