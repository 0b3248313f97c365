// The language server's handling of requests and notifications.
//
// handle_message takes one message and queues what it answers in
// `outgoing`; analyses run later, from run_analyses, when the input has
// been quiet for a moment, so that a burst of edits costs one compile.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/lsp/analysis.h"
#include "tools/lsp/protocol.h"

namespace qxl::lsp {

// Milliseconds of quiet input after a change before the document is
// compiled again.  Edits that arrive together are taken together anyway
// (every message read is handled before the next compile), and edits that
// arrive while a compile runs wait for it, so a short pause is enough to
// join the pieces of one burst without delaying the diagnostics of a
// single change.
inline constexpr int debounce_milliseconds = 2;

// The last analysis of a document that compiled to the end, with the text
// it compiled, kept while the document's compiles stop at an error.
struct CompleteAnalysis {
  Analysis analysis;
  Document text;
};

struct Server {
  bool initialized = false;
  bool shutdown_requested = false;
  bool exit_requested = false;
  std::vector<std::string> options;              // qxl.options words
  std::map<std::string, Document> documents;     // open, by URI
  std::set<std::string> stale;                   // URIs to compile again
  std::map<std::string, Analysis> analyses;      // the last one of each URI
  std::map<std::string, CompleteAnalysis> complete;
  std::vector<Json> outgoing;                    // messages to send
};

void handle_message(Server& server, const Incoming& message);
// Handles the messages read together, in order; a request that a
// $/cancelRequest among them cancels is answered as cancelled.
void handle_batch(Server& server, const std::vector<Incoming>& batch);
// Compiles every document changed since its last analysis and queues its
// diagnostics; then calls `publish` (when given), so that the diagnostics
// can be sent before the names of the new analyses are located.
void run_analyses(Server& server, const std::function<void()>& publish = {});
// The exit status once exit_requested: 0 after shutdown, else 1.
int exit_status(const Server& server);

// Reads messages from `in_fd` and writes replies to `out_fd` until exit or
// the end of the input; returns the exit status.
int serve(int in_fd, int out_fd);

}  // namespace qxl::lsp
