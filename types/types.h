// Type records: the basic types, derived types, sizes in the editor's
// memory model, compatibility, printing and signature strings.
//
// The memory model is the editor's: characters are 16-bit, data pointers
// take 12 bytes, a pointer to a function is a 2-byte function number, and
// structures are packed with no padding.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <unordered_map>

#include "source/tokens.h"

namespace qxl {

struct Symbol;
struct Member;
struct AggregateFacts;

// What a type record is.  Each kind is numbered as the word or punctuator
// that introduces it, so that a kind prints as that token's code; the
// conversion is explicit (token_of).
enum class TypeKind : TokenCode {
  none = 0,
  int_ = tok::kw_int,
  char_ = tok::kw_char,
  struct_ = tok::kw_struct,
  union_ = tok::kw_union,
  spot = tok::kw_spot,
  short_ = tok::kw_short,
  color_class_marker = tok::kw_color_class,
  byte = tok::kw_byte,
  pointer = tok::star,  // also arrays
  function = tok::lparen,
};

constexpr TokenCode token_of(TypeKind k) { return static_cast<TokenCode>(k); }

struct Type {
  TypeKind kind = TypeKind::none;
  // Pointer and array: the element type.  Function: the result type (null
  // when it returns nothing).
  Type* sub = nullptr;
  // Struct and union: the first member (null while there is no list yet).
  Member* members = nullptr;
  // Pointers only: 0 a plain pointer, N > 0 an array of N elements, -1 an
  // array whose size is still open.
  std::int32_t count = 0;
  // Identifies the record in "bad type" messages.
  std::uint32_t id = 0;
  // Struct and union: how deeply structures and arrays nest inside it by
  // value (1 for one of scalars and pointers), or -1 while its members are
  // being read.
  std::int32_t nesting = 0;
  // Struct and union whose members are complete: what is kept of them
  // once worked out (null before), so that neither a size, a member nor a
  // signature costs a walk of the whole member list every time.
  mutable AggregateFacts* facts = nullptr;
  // The plain pointer to this type, once one was asked for: arrays decay
  // to it at every use, so it is made once and shared.
  Type* pointer = nullptr;
};

struct Member {
  Member* next = nullptr;
  Symbol* name = nullptr;
  Type* type = nullptr;
};

// A member found by name, with its byte offset.
struct MemberPlace {
  const Member* member = nullptr;
  std::int64_t offset = 0;
};

struct AggregateFacts {
  std::int64_t size = -1;  // unrounded, -1 until computed
  // The first member of each name and its offset; empty until first needed.
  std::unordered_map<const Symbol*, MemberPlace> members_by_name;
  // The members' part of its type signature ("{...}"), which reads the
  // same wherever the structure appears; empty until computed.
  std::string members_signature;
};

// Records made during a compile; they live until the next compile starts.
struct TypeArena {
  std::deque<Type> types;
  std::deque<Member> members;
  std::deque<AggregateFacts> aggregate_facts;
  // Records given an id so far.  A shared pointer record handed out again
  // still takes an id, so that every record's id is the one it would have
  // if each pointer were made anew.
  std::uint32_t ids_given = 0;
  void reset();
};

extern TypeArena type_arena;

// The shared records of the basic types, compared by identity.
extern Type* const type_int;
extern Type* const type_char;
extern Type* const type_short;
extern Type* const type_byte;
extern Type* const type_spot;
extern Type* const type_char_ptr;   // string constants, the null pointer
extern Type* const type_keytable;   // key-table names
extern Type* const color_class_marker;

Type* make_type(TypeKind kind, Type* sub, std::int32_t count);
Member* make_member(Symbol* name, Type* type);

// A new pointer record to t (the shared string record for char).
Type* pointer_to(Type* t);
// The decay of an array of `element` at a use: like pointer_to, but the
// record is shared by every use, as nothing changes a pointer record.
Type* decayed_pointer(Type* element);
// The address-of operator: the one plain pointer record to t (not null)
// that every use shares; pointer records never change once made.
Type* shared_pointer_to(Type* t);

// Size in bytes; with round_top a struct or union total is rounded up to a
// multiple of 4.  Sizes stop growing at type_size_limit, so that arrays of
// huge arrays cannot overflow; callers check their own, smaller limits.
inline constexpr std::int64_t type_size_limit = std::int64_t{1} << 48;
// Arrays, structures and unions: their size is worked out from their
// elements or members.
std::int64_t composite_size(const Type* t, bool round_top);
// Scalars and plain pointers are answered here, as most sizes asked for
// are theirs.
inline std::int64_t type_size(const Type* t, bool round_top) {
  if (t == nullptr) return 0;
  switch (t->kind) {
    case TypeKind::char_:
    case TypeKind::short_:
      return 2;
    case TypeKind::byte:
      return 1;
    case TypeKind::pointer:
      if (t->count == 0)
        return t->sub != nullptr && t->sub->kind == TypeKind::function ? 2 : 12;
      return composite_size(t, round_top);
    case TypeKind::struct_:
    case TypeKind::union_:
      return composite_size(t, round_top);
    case TypeKind::none:
    case TypeKind::int_:
    case TypeKind::spot:
    case TypeKind::color_class_marker:
    case TypeKind::function:
      break;
  }
  return 4;
}
inline std::int64_t rounded_size(const Type* t) { return type_size(t, true); }

// Offset of a member: the unrounded sizes of the members before it in a
// struct, 0 in a union.
std::int64_t member_offset(const Type* aggregate, const Member* member);
// The first member of a struct or union with this name, and its offset; a
// null member when there is none.
MemberPlace find_member(const Type* aggregate, const Symbol* name);

// Arrays are pointer records with an element count (-1 while open).
inline bool is_array(const Type* t) {
  return t != nullptr && t->kind == TypeKind::pointer && t->count != 0;
}
inline bool is_function_pointer(const Type* t) {
  return t != nullptr && t->kind == TypeKind::pointer && t->sub != nullptr &&
         t->sub->kind == TypeKind::function;
}
inline bool is_data_pointer(const Type* t) {
  return t != nullptr && t->kind == TypeKind::pointer &&
         (t->sub == nullptr || t->sub->kind != TypeKind::function);
}

// The kind a value counts as in arithmetic: every integer width and the
// function pointers (function numbers) are integers.  Asked of nearly
// every operand, so answered here.
inline TypeKind arith_class(const Type* t) {
  if (t == nullptr) return TypeKind::none;
  switch (t->kind) {
    case TypeKind::int_:
    case TypeKind::char_:
    case TypeKind::short_:
    case TypeKind::byte:
      return TypeKind::int_;
    case TypeKind::pointer:
      return is_function_pointer(t) ? TypeKind::int_ : TypeKind::pointer;
    case TypeKind::none:
    case TypeKind::struct_:
    case TypeKind::union_:
    case TypeKind::spot:
    case TypeKind::color_class_marker:
    case TypeKind::function:
      break;
  }
  return t->kind;
}

// Whether values of the two types may meet.  With `report`, a mismatch
// also prints "mismatched types: A & B" at the current position (a note:
// the caller decides what the mismatch means).
bool types_compatible(const Type* a, const Type* b, bool report, bool strict);

// The long form of a type as messages print it.
std::string type_text(const Type* t, bool top = true);
void print_type(const Type* t);
void print_member_list(const Member* first);
void report_cast_failure(const Type* from, const Type* to);

// Signature strings.  Nesting bit 0: inside a struct or union; bit 1: a
// pointer was crossed inside one (a struct met then is written "S-").
namespace nesting {
inline constexpr int member = 1;
inline constexpr int through_pointer = 2;
}  // namespace nesting
std::string type_signature(const Type* t, int nesting, bool promote);
// The signature of a parameter list: each type promoted, followed by ';'.
std::string param_signature(std::span<const Type* const> parameter_types);

}  // namespace qxl
