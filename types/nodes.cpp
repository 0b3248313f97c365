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

void NodePool::reset() {
  // The chunks are kept for the next compile; nothing in them is in use.
  std::vector<std::unique_ptr<Node[]>> kept = std::move(chunks);
  *this = NodePool{};
  chunks = std::move(kept);
}

Node* null_pointer_node() { return &shared_null_pointer; }

namespace detail {

Node* take_node_slow() {
  NodePool& pool = node_pool;
  if (pool.free_list != nullptr) {
    Node* n = pool.free_list;
    pool.free_list = n->left;
    --pool.free_count;
    return n;
  }
  if (pool.next == pool.limit) {
    // The chunk after the current one, kept from an earlier use or new.
    const std::size_t following = pool.next == nullptr ? 0 : pool.chunk + 1;
    if (following == pool.chunks.size())
      pool.chunks.push_back(std::make_unique<Node[]>(NodePool::chunk_nodes));
    pool.chunk = following;
    pool.next = pool.chunks[following].get();
    pool.limit = pool.next + NodePool::chunk_nodes;
  }
  return pool.next++;
}

void tree_too_deep() { report_error("expression too complex"); }

}  // namespace detail

std::size_t nodes_carved() {
  if (node_pool.next == nullptr) return 0;
  return node_pool.chunk * NodePool::chunk_nodes +
         static_cast<std::size_t>(node_pool.next -
                                  node_pool.chunks[node_pool.chunk].get());
}

std::size_t nodes_made() {
  return std::max(node_pool.most_carved, nodes_carved());
}

Node* new_folded(std::int32_t value) {
  Node* n = new_leaf(NodeOp::folded, nullptr, type_int);
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
