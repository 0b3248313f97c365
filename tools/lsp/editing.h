// Editing help of the language server: signature help, renaming, the
// symbols of every open document, and the C-like prototypes of the
// primitives that hovers and completions show.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/c_prototypes.h"
#include "tools/lsp/analysis.h"
#include "tools/lsp/server.h"

namespace qxl::lsp {

// The prototypes of the primitives, in the order of primitive_table(),
// made the first time one is asked for.  Making them installs the
// built-in names afresh, which a later compile resets anyway; after that
// they are plain text and outlive every compile.
struct PrimitiveTexts {
  std::vector<CPrototype> prototypes;
  std::vector<std::string> results;  // result types as the compiler prints them
};

extern PrimitiveTexts primitive_texts;

// For a row of primitive_table().
const CPrototype& primitive_prototype(const PrimitiveRow& row);
const std::string& primitive_result_text(const PrimitiveRow& row);
// The table's facts about it: "primitive 101, any number of argument
// words, signature `*C;>`".
std::string primitive_reference(const PrimitiveRow& row);

// A call left open before a place of a text: the called name and the
// argument the place is in (commas before it at the call's own depth).
struct OpenCall {
  std::size_t name_start = 0;
  std::size_t name_end = 0;
  int argument = 0;
};

// Reads `text` up to `offset`, passing over comments, string and
// character constants, and the brackets closed before it; the innermost
// parenthesis still open that follows a name other than a reserved word
// is the call.  Nothing when there is none inside the innermost open brace.
std::optional<OpenCall> open_call_at(std::string_view text, std::size_t offset);

// Why the new name cannot be used ("" when it can): not an identifier, a
// reserved word, or a name the compiler knows before it reads a source.
std::string new_name_refusal(std::string_view new_name);

// The protocol's SignatureHelp at a position, or null outside a call.
Json signature_help(const Analysis& analysis, const Document& document, Position at);

// The user name at a position that can be renamed: the index of its
// record, or a refusal explaining why not.  `open`: the open documents,
// by URI; a name that occurs in a file not among them is refused.
struct RenameTarget {
  std::size_t name = 0;
  const Occurrence* at = nullptr;
  std::string refusal;
};
RenameTarget rename_target(const Analysis& analysis, const Document& document,
                           Position at, const std::map<std::string, Document>& open);
// A name's record in one analysis.
struct NameInAnalysis {
  const Analysis* analysis = nullptr;
  std::size_t name = 0;
};
// The same name in the other analyses: the record there whose first
// declaration is at the same place of the same file.
std::vector<NameInAnalysis> same_name_elsewhere(
    const Analysis& analysis, std::size_t name,
    const std::map<std::string, Analysis>& analyses);
// A WorkspaceEdit renaming the names to `new_name` everywhere they occur;
// `refusal` is set (and null returned) when one of them cannot be renamed
// or the new name cannot be used.
Json rename_edit(const std::vector<NameInAnalysis>& places,
                 const std::map<std::string, Document>& open,
                 std::string_view new_name, std::string& refusal);

// Whether the letters of `query` occur in `name` in order, ignoring case.
bool matches_query(std::string_view name, std::string_view query);
// SymbolInformation of the names declared in the files of every analysis,
// each place once, filtered by `query`.
Json workspace_symbols(const std::map<std::string, Analysis>& analyses,
                       std::string_view query);

// Answers textDocument/signatureHelp, textDocument/prepareRename,
// textDocument/rename and workspace/symbol; false for any other method.
bool answer_editing_request(Server& server, const Incoming& message);

}  // namespace qxl::lsp
