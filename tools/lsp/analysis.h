// Analyses for the language server: one in-process compile of a document
// and the diagnostics it gives for the document.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/session.h"
#include "tools/lsp/protocol.h"

namespace qxl::lsp {

// Symbol kinds of the protocol.
namespace symbol_kind {
inline constexpr int namespace_ = 3;
inline constexpr int field = 8;
inline constexpr int enum_ = 10;
inline constexpr int function = 12;
inline constexpr int variable = 13;
inline constexpr int constant = 14;
inline constexpr int enum_member = 22;
inline constexpr int structure = 23;
}  // namespace symbol_kind

// Protocol severities.
namespace severity {
inline constexpr int error = 1;
inline constexpr int warning = 2;
inline constexpr int information = 3;
}  // namespace severity

// A name's place in a file of the compile, in bytes of the file's text.
struct Occurrence {
  std::size_t name = 0;  // index into the session's names
  int file = 0;          // index into Analysis::files
  std::size_t start = 0;
  std::size_t end = 0;
  bool site = false;     // a declaration or definition, not a use
};

// One compile of an open document: the text it read and what came of it.
struct Analysis {
  std::string path;            // normalised path of the main source
  std::int64_t version = 0;    // of the document's text that was compiled
  CompileSession session;
  // The files of the session as they were read (normalised paths), and
  // where each name occurs in them.
  std::vector<Document> files;
  std::vector<Occurrence> occurrences;
  bool located = false;  // files and occurrences are filled
};

// Compiles `main` with the text of every open document standing in for its
// file, and the extra option words after QXL's, and locates its names.
Analysis analyze(const Document& main, const std::map<std::string, Document>& open,
                 const std::vector<std::string>& options);

// analyze in two steps, so that the diagnostics can go out before the
// names are located: the compile, then locate_names.
Analysis compile_document(const Document& main,
                          const std::map<std::string, Document>& open,
                          const std::vector<std::string>& options);
// Finds where the names of the compile occur in the text of its files.
void locate_names(Analysis& analysis, const std::map<std::string, Document>& open);

// The diagnostics of an analysis for its document, as the protocol's
// publishDiagnostics parameters.
Json diagnostics_params(const Analysis& analysis, const Document& document);

Json position_json(Position p);
Json range_json(Position start, Position end);
// The index of a document in the analysis's files, or -1.
int file_of(const Analysis& analysis, const Document& document);
// The name at a position of a document, or null.
const Occurrence* occurrence_at(const Analysis& analysis, const Document& document,
                                Position at);
Json occurrence_range(const Analysis& analysis, const Occurrence& o);
// A local or parameter; a function or command.
bool is_frame_kind(const NameRecord& name);
bool is_function_kind(const NameRecord& name);

// Answers about the names at a position of `document` (the analysis's main
// source or one of its files).  Null when there is nothing to say.
Json hover(const Analysis& analysis, const Document& document, Position at);
// Where the name at a position is declared (`first`: the first
// declaration, else the last, its definition).
Json definition(const Analysis& analysis, const Document& document,
                Position at, bool first);
Json references(const Analysis& analysis, const Document& document,
                Position at, bool include_declaration);
Json highlights(const Analysis& analysis, const Document& document, Position at);
Json document_symbols(const Analysis& analysis, const Document& document);
Json completion(const Analysis& analysis, const Document& document, Position at);

}  // namespace qxl::lsp
