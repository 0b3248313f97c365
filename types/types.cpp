#include "types/types.h"

#include <set>
#include <utility>

#include "driver/diagnostics.h"
#include "source/reader.h"
#include "source/symbols.h"

namespace qxl {

TypeArena type_arena;

namespace {

// Whether a struct or union's member list is final: its body has been read
// (a forward declaration or a body being read is not).
bool is_complete_aggregate(const Type* t) {
  return t->nesting > 0 && t->members != nullptr;
}

// The kept facts of a complete struct or union, made on first need; null
// for one whose members may still change.
AggregateFacts* facts_of(const Type* t) {
  if (t->facts == nullptr && is_complete_aggregate(t))
    t->facts = &type_arena.aggregate_facts.emplace_back();
  return t->facts;
}

// The basic records never change, so they are made once for the process.
Type int_record{TypeKind::int_};
Type char_record{TypeKind::char_};
Type short_record{TypeKind::short_};
Type byte_record{TypeKind::byte};
Type spot_record{TypeKind::spot};
Type char_ptr_record{TypeKind::pointer, &char_record};
Type keytable_record{TypeKind::pointer, &short_record, nullptr, -1};
Type marker_record{TypeKind::color_class_marker};

constexpr std::uint32_t first_arena_id = 100;

bool is_aggregate(TypeKind k) { return k == TypeKind::struct_ || k == TypeKind::union_; }

// Pairs of struct records being compared further up the recursion: a pair
// met again is taken as compatible, so that types that reach themselves
// through arrays of pointers compare in finite time.
using PairsInProgress = std::set<std::pair<const Type*, const Type*>>;

bool compatible(const Type* a, const Type* b, bool strict,
                PairsInProgress& in_progress);

TypeKind normalised_kind(const Type* t) {
  return arith_class(t);
}

bool members_compatible(const Type* a, const Type* b,
                        PairsInProgress& in_progress) {
  if (a->members == nullptr || b->members == nullptr) return false;
  if (!in_progress.emplace(a, b).second) return true;
  const Member* ma = a->members;
  const Member* mb = b->members;
  bool result = true;
  for (; ma != nullptr && mb != nullptr; ma = ma->next, mb = mb->next) {
    if (ma->name != mb->name) {
      result = false;
      break;
    }
    const Type* ta = ma->type;
    const Type* tb = mb->type;
    const bool plain_pointers = ta != nullptr && tb != nullptr &&
                                ta->kind == TypeKind::pointer && ta->count == 0 &&
                                tb->kind == TypeKind::pointer && tb->count == 0;
    if (plain_pointers) {
      const TypeKind ka = ta->sub != nullptr ? ta->sub->kind : TypeKind::none;
      const TypeKind kb = tb->sub != nullptr ? tb->sub->kind : TypeKind::none;
      if (ka != kb) {
        result = false;
        break;
      }
    } else if (!compatible(ta, tb, true, in_progress)) {
      result = false;
      break;
    }
  }
  if (ma != nullptr || mb != nullptr) result = false;
  in_progress.erase({a, b});
  return result;
}

bool compatible(const Type* a, const Type* b, bool strict,
                PairsInProgress& in_progress) {
  if (a == nullptr || b == nullptr) return false;
  if (strict && a->kind != b->kind) return false;
  const TypeKind k = normalised_kind(a);
  if (k != normalised_kind(b)) return false;
  if (is_aggregate(k)) return members_compatible(a, b, in_progress);
  if (k == TypeKind::pointer) return compatible(a->sub, b->sub, true, in_progress);
  return true;
}

// The answers that need no walk of members: a record met with itself
// through any chain of pointers to a scalar, and two scalars.  False means
// "not settled here", and the full comparison decides.
bool scalars_or_same_compatible(const Type* a, const Type* b, bool strict) {
  if (a == nullptr || b == nullptr) return false;
  if (a == b) {
    const Type* t = a;
    while (t != nullptr && normalised_kind(t) == TypeKind::pointer) t = t->sub;
    return t != nullptr && !is_aggregate(t->kind);
  }
  const TypeKind ka = normalised_kind(a);
  if (ka == TypeKind::pointer || is_aggregate(ka)) return false;
  if (strict && a->kind != b->kind) return false;
  return ka == normalised_kind(b);
}

void append_type_text(std::string& out, const Type* t, bool top);

void append_members(std::string& out, const Member* m) {
  for (bool first = true; m != nullptr; m = m->next, first = false) {
    if (!first) out += ", ";
    if (m->name != nullptr) out += m->name->name.view();
    out += ": ";
    append_type_text(out, m->type, false);
  }
}

void append_type_text(std::string& out, const Type* t, bool top) {
  if (t == nullptr) {
    out += "none";
    return;
  }
  switch (t->kind) {
    case TypeKind::int_: out += "integer"; return;
    case TypeKind::char_: out += "character"; return;
    case TypeKind::spot: out += "spot"; return;
    case TypeKind::short_: out += "short"; return;
    case TypeKind::byte: out += "byte"; return;
    case TypeKind::struct_:
    case TypeKind::union_: {
      const bool is_struct = t->kind == TypeKind::struct_;
      if (t->members == nullptr) {
        out += is_struct ? "undefined structure" : "undefined union";
        return;
      }
      out += is_struct ? "structure of {" : "union of {";
      append_members(out, t->members);
      out += "}";
      return;
    }
    case TypeKind::pointer: {
      if (t->count != 0) {
        out += "array of " + std::to_string(t->count) + " ";
      } else {
        out += "pointer to ";
      }
      const Type* target = t->sub;
      if (!top && target != nullptr) {
        if (target->kind == TypeKind::struct_) {
          out += "structure";
          return;
        }
        if (target->kind == TypeKind::union_) {
          out += "union";
          return;
        }
        if (target->kind == TypeKind::function) {
          out += "function";
          return;
        }
      }
      append_type_text(out, target, top);
      return;
    }
    case TypeKind::function:
      out += "function returning ";
      append_type_text(out, t->sub, top);
      return;
    default:
      out += "bad type " + std::to_string(token_of(t->kind)) + " at " +
             std::to_string(t->id) + "\n";
  }
}

void append_signature(std::string& out, const Type* t, int nest,
                      bool promote) {
  if (t == nullptr) return;
  switch (t->kind) {
    case TypeKind::int_: out += 'I'; return;
    case TypeKind::char_: out += promote ? 'I' : 'C'; return;
    case TypeKind::short_: out += promote ? 'I' : 'T'; return;
    case TypeKind::byte: out += 'B'; return;
    case TypeKind::spot: out += '.'; return;
    case TypeKind::pointer: {
      const int inner =
          (nest & nesting::member) != 0 ? nest | nesting::through_pointer
                                        : nest;
      if (t->count == 0 || promote) {
        out += '*';
        append_signature(out, t->sub, inner, false);
        return;
      }
      out += '[';
      out += std::to_string(t->count);
      append_signature(out, t->sub, nest, false);
      out += ']';
      return;
    }
    case TypeKind::function:
      out += '(';
      append_signature(out, t->sub, nest, false);
      out += ')';
      return;
    case TypeKind::struct_:
    case TypeKind::union_: {
      out += t->kind == TypeKind::struct_ ? 'S' : 'U';
      if (nest == (nesting::member | nesting::through_pointer)) {
        out += '-';
        return;
      }
      // Without a pointer crossed, the members are written as members
      // whatever the structure is part of, and a structure reached through
      // a pointer from a member reads "S-" whether complete or not: so once
      // the members are final, this part never changes.
      AggregateFacts* const facts =
          (nest & nesting::through_pointer) == 0 ? facts_of(t) : nullptr;
      if (facts != nullptr && !facts->members_signature.empty()) {
        out += facts->members_signature;
        return;
      }
      const std::size_t start = out.size();
      out += '{';
      for (const Member* m = t->members; m != nullptr; m = m->next)
        append_signature(out, m->type, nest | nesting::member, false);
      out += '}';
      if (facts != nullptr) facts->members_signature.assign(out, start);
      return;
    }
    default:
      console_write("bad type conversion\n");
      out += "????";
  }
}

}  // namespace

Type* const type_int = &int_record;
Type* const type_char = &char_record;
Type* const type_short = &short_record;
Type* const type_byte = &byte_record;
Type* const type_spot = &spot_record;
Type* const type_char_ptr = &char_ptr_record;
Type* const type_keytable = &keytable_record;
Type* const color_class_marker = &marker_record;

void TypeArena::reset() {
  *this = TypeArena{};
  // The basic records outlive the compile; the pointers they share do not.
  for (Type* basic : {&int_record, &char_record, &short_record, &byte_record,
                      &spot_record, &char_ptr_record, &keytable_record,
                      &marker_record})
    basic->pointer = nullptr;
}

Type* make_type(TypeKind k, Type* sub, std::int32_t count) {
  Type& t = type_arena.types.emplace_back();
  t.kind = k;
  t.sub = sub;
  t.count = count;
  t.id = first_arena_id + ++type_arena.ids_given;
  return &t;
}

Member* make_member(Symbol* name, Type* type) {
  Member& m = type_arena.members.emplace_back();
  m.name = name;
  m.type = type;
  return &m;
}

Type* shared_pointer_to(Type* t) {
  if (t->pointer != nullptr) {
    ++type_arena.ids_given;
    return t->pointer;
  }
  t->pointer = make_type(TypeKind::pointer, t, 0);
  return t->pointer;
}

Type* pointer_to(Type* t) {
  if (t == type_char) return type_char_ptr;
  return make_type(TypeKind::pointer, t, 0);
}

Type* decayed_pointer(Type* element) {
  if (element == type_char || element == nullptr) return pointer_to(element);
  return shared_pointer_to(element);
}

std::int64_t composite_size(const Type* t, bool round_top) {
  if (t->kind == TypeKind::pointer) {
    const std::int64_t element = type_size(t->sub, false);
    const std::int64_t count = t->count;
    if (element != 0 && count > type_size_limit / element)
      return type_size_limit;
    return count * element;
  }
  AggregateFacts* const facts = facts_of(t);
  std::int64_t total = facts != nullptr ? facts->size : -1;
  if (total < 0) {
    total = 0;
    for (const Member* m = t->members; m != nullptr; m = m->next) {
      const std::int64_t size = type_size(m->type, false);
      total = t->kind == TypeKind::struct_
                  ? std::min(total + size, type_size_limit)
                  : std::max(total, size);
    }
    // The members of a complete struct or union never change again.
    if (facts != nullptr) facts->size = total;
  }
  if (round_top) total = (total + 3) / 4 * 4;
  return total;
}

std::int64_t member_offset(const Type* aggregate, const Member* member) {
  if (aggregate == nullptr || aggregate->kind == TypeKind::union_) return 0;
  std::int64_t offset = 0;
  for (const Member* m = aggregate->members; m != nullptr && m != member;
       m = m->next)
    offset += type_size(m->type, false);
  return offset;
}

MemberPlace find_member(const Type* aggregate, const Symbol* name) {
  AggregateFacts* const facts = facts_of(aggregate);
  if (facts == nullptr) {
    // The members are still being read: they are walked.
    for (const Member* m = aggregate->members; m != nullptr; m = m->next)
      if (m->name == name) return {m, member_offset(aggregate, m)};
    return {};
  }
  if (facts->members_by_name.empty()) {
    const bool is_struct = aggregate->kind == TypeKind::struct_;
    std::int64_t offset = 0;
    for (const Member* m = aggregate->members; m != nullptr; m = m->next) {
      // The first member of a name wins, as in the walk.
      facts->members_by_name.emplace(m->name,
                                     MemberPlace{m, is_struct ? offset : 0});
      offset += type_size(m->type, false);
    }
  }
  const auto found = facts->members_by_name.find(name);
  return found != facts->members_by_name.end() ? found->second : MemberPlace{};
}

bool types_compatible(const Type* a, const Type* b, bool report,
                      bool strict) {
  if (scalars_or_same_compatible(a, b, strict)) return true;
  PairsInProgress in_progress;
  if (compatible(a, b, strict, in_progress)) return true;
  if (report) {
    print_location();
    console_write("mismatched types: " + type_text(a) + " & " + type_text(b) +
                  "\n");
  }
  return false;
}

std::string type_text(const Type* t, bool top) {
  std::string out;
  append_type_text(out, t, top);
  return out;
}

void print_type(const Type* t) { console_write(type_text(t)); }

void print_member_list(const Member* first) {
  std::string out;
  append_members(out, first);
  console_write(out);
}

void report_cast_failure(const Type* from, const Type* to) {
  print_location();
  console_write("can't cast " + type_text(from) + " to " + type_text(to) +
                "\n");
}

std::string type_signature(const Type* t, int nest, bool promote) {
  std::string out;
  append_signature(out, t, nest, promote);
  return out;
}

std::string param_signature(std::span<const Type* const> parameter_types) {
  std::string out;
  for (const Type* t : parameter_types) {
    append_signature(out, t, 0, true);
    out += ';';
  }
  return out;
}

}  // namespace qxl
