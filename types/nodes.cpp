#include "types/nodes.h"

#include <algorithm>

#include "driver/diagnostics.h"
#include "types/types.h"

namespace qxl {

NodePool node_pool;

namespace {
// The shared null pointer constant: nothing ever changes or releases it.
Node shared_null_pointer = [] {
  Node n;
  n.op = NodeOp::null_pointer;
  n.type = type_char_ptr;
  return n;
}();
}  // namespace

void NodePool::reset() { *this = NodePool{}; }

Node* null_pointer_node() { return &shared_null_pointer; }

Node* new_node(NodeOp op, Node* left, Node* right, Type* type) {
  Node* n;
  if (node_pool.free_list != nullptr) {
    n = node_pool.free_list;
    node_pool.free_list = n->left;
    --node_pool.free_count;
    *n = Node{};
  } else {
    n = &node_pool.storage.emplace_back();
  }
  n->op = op;
  n->left = left;
  n->right = right;
  n->type = type;
  n->depth = 1 + std::max(left != nullptr ? left->depth : 0,
                          right != nullptr ? right->depth : 0);
  if (n->depth > max_tree_depth) report_error("expression too complex");
  return n;
}

Node* new_leaf(NodeOp op, Symbol* symbol, Type* type) {
  Node* n = new_node(op, nullptr, nullptr, type);
  n->symbol = symbol;
  return n;
}

Node* new_folded(std::int32_t value) {
  Node* n = new_node(NodeOp::folded, nullptr, nullptr, type_int);
  n->value = value;
  return n;
}

void append_argument_list(Node* arguments, std::vector<Node*>& list) {
  for (Node* n = arguments; n != nullptr;) {
    if (n->op == NodeOp::argument) {
      list.push_back(n->left);
      n = n->right;
    } else {
      list.push_back(n);
      n = nullptr;
    }
  }
}

void release_node(Node* n) {
  if (n == nullptr || n == null_pointer_node()) return;
  n->left = node_pool.free_list;
  node_pool.free_list = n;
  ++node_pool.free_count;
}

void release_tree(Node* n) {
  // Each node goes to the free list before its right subtree, then its
  // left one, so nodes are reused in the same order as by a walk with a
  // stack.  Trees are at most max_tree_depth high, so the recursion is
  // bounded.
  while (n != nullptr && n != null_pointer_node()) {
    Node* const left = n->left;
    Node* const right = n->right;
    n->left = node_pool.free_list;
    node_pool.free_list = n;
    ++node_pool.free_count;
    release_tree(right);
    n = left;
  }
}

Node* copy_tree(const Node* n) {
  if (n == nullptr) return nullptr;
  if (n == null_pointer_node()) return null_pointer_node();
  Node* copy = new_node(n->op, copy_tree(n->left), copy_tree(n->right),
                        n->type);
  copy->symbol = n->symbol;
  copy->value = n->value;
  copy->default_value = n->default_value;
  copy->member_offset = n->member_offset;
  return copy;
}

}  // namespace qxl
