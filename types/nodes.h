// Expression nodes: the trees the expression parser builds and code
// generation walks.  A node's op is its class in bits 12-13 (leaf, unary,
// binary, compound assignment) and a token code in bits 0-11.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "source/tokens.h"

namespace qxl {

struct Symbol;
struct Type;

namespace node_class {
inline constexpr std::uint16_t leaf = 0x0000;
inline constexpr std::uint16_t unary = 0x1000;
inline constexpr std::uint16_t binary = 0x2000;
inline constexpr std::uint16_t compound = 0x3000;
inline constexpr std::uint16_t mask = 0x3000;
}  // namespace node_class

namespace node_op {
using node_class::binary;
using node_class::compound;
using node_class::unary;
inline constexpr std::uint16_t identifier = tok::identifier;        // 0x0002
inline constexpr std::uint16_t string_const = tok::string_const;    // 0x0003
inline constexpr std::uint16_t string_concat = binary | tok::string_const;
inline constexpr std::uint16_t char_const = tok::char_const;        // 0x0004
inline constexpr std::uint16_t int_const = tok::int_const;          // 0x0005
inline constexpr std::uint16_t folded = tok::number;                // 0x0006
inline constexpr std::uint16_t null_pointer = tok::null_pointer;    // 0x0007
inline constexpr std::uint16_t color_class = tok::kw_color_class;   // 0x0013
inline constexpr std::uint16_t spot_content = unary | tok::kw_spot;  // 0x100F
inline constexpr std::uint16_t dereference = unary | tok::star;      // 0x102D
inline constexpr std::uint16_t negate = unary | tok::minus;          // 0x102F
inline constexpr std::uint16_t complement = unary | tok::tilde;      // 0x103B
inline constexpr std::uint16_t logical_not = unary | tok::bang;      // 0x1046
inline constexpr std::uint16_t cast = unary | tok::lparen;           // 0x1031
inline constexpr std::uint16_t int_to_pointer = unary | 0x3D;        // 0x103D
inline constexpr std::uint16_t pointer_to_int = unary | 0x3E;        // 0x103E
inline constexpr std::uint16_t address_of = unary | tok::amp;        // 0x1037
inline constexpr std::uint16_t member = unary | tok::dot;            // 0x104C
inline constexpr std::uint16_t assign = binary | tok::assign;        // 0x2045
inline constexpr std::uint16_t comma = binary | tok::comma;          // 0x2049
inline constexpr std::uint16_t conditional = binary | tok::question;  // 0x2048
inline constexpr std::uint16_t colon = binary | tok::colon;          // 0x2034
inline constexpr std::uint16_t call = binary | tok::lparen;          // 0x2031
inline constexpr std::uint16_t argument = binary | tok::semicolon;   // 0x2033
inline constexpr std::uint16_t post_increment = binary | tok::plus_plus;
inline constexpr std::uint16_t post_decrement = binary | tok::minus_minus;
inline constexpr std::uint16_t pre_increment = compound | tok::plus;  // 0x302E
inline constexpr std::uint16_t pre_decrement = compound | tok::minus;
}  // namespace node_op

struct Node {
  std::uint16_t op = 0;
  // Identifiers: the name was followed by ".default", so the code reads or
  // writes the variable's default value.
  bool default_value = false;
  // Folded constants: the value.
  std::int32_t value = 0;
  Node* left = nullptr;   // first operand
  Node* right = nullptr;  // second operand
  // Leaves: the symbol of the identifier, constant or color class; string
  // concatenations: the later piece.
  Symbol* symbol = nullptr;
  Type* type = nullptr;  // null: the expression yields no value
  // Members: the byte offset of the member in its structure.
  std::int32_t member_offset = 0;
  // Height of the tree below and including this node.
  std::int32_t depth = 1;
};

// Trees are walked recursively; deeper ones are refused ("expression too
// complex") so that no input can exhaust the stack.
inline constexpr std::int32_t max_tree_depth = 2000;

inline std::uint16_t node_class_of(const Node* n) {
  return n->op & node_class::mask;
}
inline TokenCode node_code(const Node* n) {
  return static_cast<TokenCode>(n->op & 0x0FFF);
}

// Released nodes are kept for reuse; nodes live in the pool's storage until
// the compile ends, so the memory in use is the most nodes alive at once.
struct NodePool {
  std::deque<Node> storage;
  // Released nodes, chained through their `left` field, newest first.
  Node* free_list = nullptr;
  std::size_t free_count = 0;
  std::vector<Node*> release_work;  // reused by release_tree
  // Argument lists being read or compiled: each use appends from the end it
  // found and cuts back to it when done, so nested calls share it.
  std::vector<Node*> argument_stack;
  void reset();
};

extern NodePool node_pool;

// The one shared null pointer constant; never released.
Node* null_pointer_node();

Node* new_node(std::uint16_t op, Node* left, Node* right, Type* type);
Node* new_leaf(std::uint16_t op, Symbol* symbol, Type* type);
Node* new_folded(std::int32_t value);

// Appends the arguments of a call to `list` in source order: an argument
// list is a chain of links, a single remaining argument standing alone.
void append_argument_list(Node* arguments, std::vector<Node*>& list);

void release_node(Node* n);
void release_tree(Node* n);
Node* copy_tree(const Node* n);

}  // namespace qxl
