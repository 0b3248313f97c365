// The top level of the grammar: declarations one after another, function
// definitions and prototypes, and the argument checks of calls.
#pragma once

#include <string>
#include <span>
#include <string_view>
#include <vector>

namespace qxl {

struct Declaration;
struct Node;

// Compiles top-level declarations until the end of the input.
void compile_unit();

// Compares the signature of the parameter list just read with the one
// recorded for the function, or records it.
void check_prototype(Declaration* function, const std::string& signature);

// Checks the arguments of a call, in source order, against the callee's
// signature.
void check_arguments(std::string_view function_name,
                     const Declaration* callee,
                     std::span<Node* const> arguments);

// The words for a type code string in messages ("ptr to char ").
std::string describe_type_code(std::string_view code);

}  // namespace qxl
