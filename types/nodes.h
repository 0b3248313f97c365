// Expression nodes: the trees the expression parser builds and code
// generation walks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "source/tokens.h"

namespace qxl {

struct Symbol;
struct Type;

// The class of a node: bits 12-13 of its op.
enum class NodeClass : std::uint16_t {
  leaf = 0x0000,
  unary = 0x1000,
  binary = 0x2000,
  compound = 0x3000,  // compound assignment and prefix increments
};
inline constexpr std::uint16_t node_class_mask = 0x3000;
inline constexpr std::uint16_t node_code_mask = 0x0FFF;

constexpr std::uint16_t node_op_value(NodeClass c, TokenCode code) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(c) | code);
}

// What a node does: its class and, in bits 0-11, the token code of the
// operator or constant it stands for.  Operator nodes of the table's
// operators are made with operator_node; the others are named here.
enum class NodeOp : std::uint16_t {
  identifier = node_op_value(NodeClass::leaf, tok::identifier),
  string_const = node_op_value(NodeClass::leaf, tok::string_const),
  string_concat = node_op_value(NodeClass::binary, tok::string_const),
  char_const = node_op_value(NodeClass::leaf, tok::char_const),
  int_const = node_op_value(NodeClass::leaf, tok::int_const),
  folded = node_op_value(NodeClass::leaf, tok::number),
  null_pointer = node_op_value(NodeClass::leaf, tok::null_pointer),
  color_class = node_op_value(NodeClass::leaf, tok::kw_color_class),
  spot_content = node_op_value(NodeClass::unary, tok::kw_spot),
  dereference = node_op_value(NodeClass::unary, tok::star),
  negate = node_op_value(NodeClass::unary, tok::minus),
  complement = node_op_value(NodeClass::unary, tok::tilde),
  logical_not = node_op_value(NodeClass::unary, tok::bang),
  cast = node_op_value(NodeClass::unary, tok::lparen),
  // Conversions between integers and pointers, numbered past the tokens'
  // punctuators.
  int_to_pointer = node_op_value(NodeClass::unary, 0x3D),
  pointer_to_int = node_op_value(NodeClass::unary, 0x3E),
  address_of = node_op_value(NodeClass::unary, tok::amp),
  member = node_op_value(NodeClass::unary, tok::dot),
  assign = node_op_value(NodeClass::binary, tok::assign),
  comma = node_op_value(NodeClass::binary, tok::comma),
  conditional = node_op_value(NodeClass::binary, tok::question),
  colon = node_op_value(NodeClass::binary, tok::colon),
  call = node_op_value(NodeClass::binary, tok::lparen),
  argument = node_op_value(NodeClass::binary, tok::semicolon),
  post_increment = node_op_value(NodeClass::binary, tok::plus_plus),
  post_decrement = node_op_value(NodeClass::binary, tok::minus_minus),
  pre_increment = node_op_value(NodeClass::compound, tok::plus),
  pre_decrement = node_op_value(NodeClass::compound, tok::minus),
};

// The node of an operator token in a class: a binary "+", a unary "-", a
// compound "*=".  The token code must fit the code bits.
constexpr NodeOp operator_node(NodeClass c, TokenCode code) {
  return static_cast<NodeOp>(
      node_op_value(c, static_cast<TokenCode>(code & node_code_mask)));
}

struct Node {
  NodeOp op = NodeOp{};
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

inline NodeClass node_class_of(const Node* n) {
  return static_cast<NodeClass>(static_cast<std::uint16_t>(n->op) &
                                node_class_mask);
}
inline TokenCode node_code(const Node* n) {
  return static_cast<TokenCode>(static_cast<std::uint16_t>(n->op) &
                                node_code_mask);
}

// Nodes are carved from chunks that are kept for the whole compile.  A
// NodeScope gives back at once every node made while it was open, which is
// how statements release their trees: no walk of each tree.  Nodes released
// one by one (operands folded into a constant, a #if condition, a tree made
// by hand) go to a free list, newest first, and are reused before the
// chunks are.  Each scope has a free list of its own, dropped when it ends:
// its nodes are given back with the scope, and the list of the scope
// around it holds only nodes made before it opened.
struct NodePool {
  static constexpr std::size_t chunk_nodes = 512;
  std::vector<std::unique_ptr<Node[]>> chunks;
  // The next node to carve: `next` in chunk number `chunk`, which ends at
  // `limit` (all null before the first chunk).
  std::size_t chunk = 0;
  Node* next = nullptr;
  Node* limit = nullptr;
  // The most nodes carved from the chunks at once, as of the last time a
  // scope gave nodes back (nodes_made() counts the current ones too).
  std::size_t most_carved = 0;
  int open_scopes = 0;
  // Released nodes, chained through their `left` field, newest first.
  Node* free_list = nullptr;
  std::size_t free_count = 0;
  // Argument lists being read or compiled: each use appends from the end it
  // found and cuts back to it when done, so nested calls share it.
  std::vector<Node*> argument_stack;
  void reset();
};

extern NodePool node_pool;

// Nodes carved from the chunks so far, and the most at any time: the
// memory the nodes take.
std::size_t nodes_carved();
std::size_t nodes_made();
// Keeps the count of nodes carved before a scope gives them back.
inline void note_nodes_carved() {
  if (node_pool.next != nullptr)
    node_pool.most_carved = std::max(node_pool.most_carved, nodes_carved());
}

// Where the pool stood when a scope opened.
struct NodeMark {
  std::size_t chunk = 0;
  Node* next = nullptr;
  Node* limit = nullptr;
  Node* free_list = nullptr;
  std::size_t free_count = 0;
};

// Gives back, when it ends, every node made while it was open.  Scopes
// nest; a tree made inside one must not be used after it ends.
struct NodeScope {
  NodeScope()
      : mark{node_pool.chunk, node_pool.next, node_pool.limit,
             node_pool.free_list, node_pool.free_count} {
    node_pool.free_list = nullptr;
    node_pool.free_count = 0;
    ++node_pool.open_scopes;
  }
  ~NodeScope() {
    note_nodes_carved();
    node_pool.chunk = mark.chunk;
    node_pool.next = mark.next;
    node_pool.limit = mark.limit;
    node_pool.free_list = mark.free_list;
    node_pool.free_count = mark.free_count;
    --node_pool.open_scopes;
  }
  NodeScope(const NodeScope&) = delete;
  NodeScope& operator=(const NodeScope&) = delete;
  NodeMark mark;
};

// The one shared null pointer constant; never released.
Node* null_pointer_node();

namespace detail {
// A node from the free list or a fresh chunk, when the current chunk is
// used up or a free node may be reused.
Node* take_node_slow();
[[noreturn]] void tree_too_deep();
}  // namespace detail

// An uninitialised node: carved from the current chunk, the common case.
inline Node* take_node() {
  NodePool& pool = node_pool;
  if (pool.free_list == nullptr && pool.next != pool.limit)
    return pool.next++;
  return detail::take_node_slow();
}

// A node taken from the pool with every field set once.
inline Node* made_node(NodeOp op, Node* left, Node* right, Symbol* symbol,
                       Type* type, std::int32_t depth) {
  Node* n = take_node();
  n->op = op;
  n->default_value = false;
  n->value = 0;
  n->left = left;
  n->right = right;
  n->symbol = symbol;
  n->type = type;
  n->member_offset = 0;
  n->depth = depth;
  return n;
}

// Every field is set here, as a node may be a reused one.
inline Node* new_node(NodeOp op, Node* left, Node* right, Type* type) {
  const std::int32_t below =
      std::max(left != nullptr ? left->depth : 0,
               right != nullptr ? right->depth : 0);
  if (below >= max_tree_depth) detail::tree_too_deep();
  return made_node(op, left, right, nullptr, type, below + 1);
}

inline Node* new_leaf(NodeOp op, Symbol* symbol, Type* type) {
  return made_node(op, nullptr, nullptr, symbol, type, 1);
}

Node* new_folded(std::int32_t value);

// Appends the arguments of a call to `list` in source order: an argument
// list is a chain of links, a single remaining argument standing alone.
void append_argument_list(Node* arguments, std::vector<Node*>& list);

void release_node(Node* n);
void release_tree(Node* n);
Node* copy_tree(const Node* n);

}  // namespace qxl
