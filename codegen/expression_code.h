// Code for expression trees: for their value, their effect, as a jump, as
// an address or as the target of a store.  The caller releases the tree.
#pragma once

namespace qxl {

struct Node;

void compile_value(Node* n);
void compile_effect(Node* n);
// Jumps to `label` when the truth of `n` equals `sense` (+1 jump when
// true, -1 when false); sense 0 evaluates for effect only.
void compile_condition(Node* n, int sense, int label);
void compile_address(Node* n);
void compile_store(Node* n);
void compile_call(Node* call, bool value_wanted);
void compile_conditional(Node* n, bool value_wanted);

// Compiles a full expression for its effect and releases its tree.
void compile_effect_and_release(Node* n);

}  // namespace qxl
