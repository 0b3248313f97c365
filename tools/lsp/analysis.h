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

// Protocol severities.
namespace severity {
inline constexpr int error = 1;
inline constexpr int warning = 2;
inline constexpr int information = 3;
}  // namespace severity

// One compile of an open document: the text it read and what came of it.
struct Analysis {
  std::string path;            // normalised path of the main source
  std::int64_t version = 0;    // of the document's text that was compiled
  CompileSession session;
};

// Compiles `main` with the text of every open document standing in for its
// file, and the extra option words after QXL's.
Analysis analyze(const Document& main, const std::map<std::string, Document>& open,
                 const std::vector<std::string>& options);

// The diagnostics of an analysis for its document, as the protocol's
// publishDiagnostics parameters.
Json diagnostics_params(const Analysis& analysis, const Document& document);

}  // namespace qxl::lsp
