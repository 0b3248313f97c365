#include "tools/lsp/server.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "driver/options.h"
#include "driver/search_paths.h"
#include "tools/lsp/bytecode_view.h"
#include "tools/lsp/editing.h"

namespace qxl::lsp {

namespace {

// Longest time a document waits for quiet input before it is compiled
// anyway, so that a steady stream of messages cannot starve it.
constexpr int longest_wait_milliseconds = 500;
constexpr std::size_t read_block_size = 65536;

std::string document_uri(const Json& params) {
  return string_member(member(params, "textDocument"), "uri");
}

// The option words of a `qxl.options` value: one string split at white
// space, or a list of words.
std::vector<std::string> option_words(const Json& value) {
  if (value.is_string()) return split_option_words(value.get<std::string>());
  std::vector<std::string> words;
  if (value.is_array())
    for (const Json& word : value)
      if (word.is_string()) words.push_back(word.get<std::string>());
  return words;
}

// Finds qxl.options in initialization options or configuration settings,
// written either nested ({"qxl": {"options": ...}}) or dotted.
bool find_options(const Json& settings, std::vector<std::string>& words) {
  if (!settings.is_object()) return false;
  if (settings.contains("qxl.options")) {
    words = option_words(settings["qxl.options"]);
    return true;
  }
  if (settings.contains("qxl") && settings["qxl"].is_object() &&
      settings["qxl"].contains("options")) {
    words = option_words(settings["qxl"]["options"]);
    return true;
  }
  if (settings.contains("options")) {
    words = option_words(settings["options"]);
    return true;
  }
  return false;
}

void mark_all_stale(Server& server) {
  for (const auto& [uri, document] : server.documents) server.stale.insert(uri);
}

// Marks for a new compile the documents whose result may change with the
// text of `path`: itself, those not compiled yet and those whose last
// compile tried to open it (found or not: a missing include may be the
// file just opened).
void mark_readers_stale(Server& server, const std::string& path) {
  const std::string changed = normal_path(path);
  for (const auto& [uri, document] : server.documents) {
    const auto found = server.analyses.find(uri);
    if (found == server.analyses.end() || normal_path(document.path) == changed ||
        found->second.session.opened.count(changed) != 0)
      server.stale.insert(uri);
  }
}

void reply(Server& server, const Json& id, Json result) {
  server.outgoing.push_back(make_response(id, std::move(result)));
}

void reply_error(Server& server, const Json& id, int code, std::string_view text) {
  server.outgoing.push_back(make_error(id, code, text));
}

Json capabilities() {
  return {
      {"textDocumentSync",
       {{"openClose", true}, {"change", 2}, {"save", {{"includeText", false}}}}},
      {"hoverProvider", true},
      {"definitionProvider", true},
      {"declarationProvider", true},
      {"referencesProvider", true},
      {"documentHighlightProvider", true},
      {"documentSymbolProvider", true},
      {"completionProvider", {{"triggerCharacters", {".", ">"}}}},
      {"codeLensProvider", {{"resolveProvider", false}}},
      {"executeCommandProvider", {{"commands", {disassemble_command}}}},
      {"signatureHelpProvider",
       {{"triggerCharacters", {"(", ","}}, {"retriggerCharacters", {","}}}},
      {"renameProvider", {{"prepareProvider", true}}},
      {"workspaceSymbolProvider", true},
  };
}

void initialize(Server& server, const Incoming& message) {
  if (!message.params.is_object()) throw BadParams{"params is not an object"};
  if (message.params.contains("initializationOptions"))
    find_options(message.params["initializationOptions"], server.options);
  server.initialized = true;
  reply(server, message.id,
        {{"capabilities", capabilities()},
         {"serverInfo", {{"name", "qxl-lsp"}, {"version", version_text}}}});
}

void did_open(Server& server, const Json& params) {
  const Json& item = member(params, "textDocument");
  Document document;
  document.uri = string_member(item, "uri");
  document.path = uri_to_path(document.uri);
  if (item.contains("languageId") && item["languageId"].is_string())
    document.language = item["languageId"].get<std::string>();
  document.version = integer_member(item, "version");
  document.set_text(from_wire(string_member(item, "text")));
  const std::string path = document.path;
  server.documents[document.uri] = std::move(document);
  mark_readers_stale(server, path);
}

void did_change(Server& server, const Json& params) {
  const std::string uri = document_uri(params);
  const auto found = server.documents.find(uri);
  if (found == server.documents.end()) return;
  const Json& changes = member(params, "contentChanges");
  if (!changes.is_array()) throw BadParams{"contentChanges is not a list"};
  Document& document = found->second;
  for (const Json& change : changes)
    if (!document.apply_change(change)) throw BadParams{"bad content change"};
  const Json& item = params["textDocument"];
  if (item.contains("version") && item["version"].is_number_integer())
    document.version = item["version"].get<std::int64_t>();
  mark_readers_stale(server, document.path);
}

void did_close(Server& server, const Json& params) {
  const std::string uri = document_uri(params);
  const auto found = server.documents.find(uri);
  if (found == server.documents.end()) return;
  const std::string path = found->second.path;
  server.documents.erase(found);
  server.analyses.erase(uri);
  server.complete.erase(uri);
  server.stale.erase(uri);
  server.outgoing.push_back(make_notification(
      "textDocument/publishDiagnostics",
      {{"uri", uri}, {"diagnostics", Json::array()}}));
  mark_readers_stale(server, path);
}

void handle_notification(Server& server, const Incoming& message) {
  const std::string& method = message.method;
  if (method == "exit") {
    server.exit_requested = true;
    return;
  }
  if (!server.initialized) return;
  if (method == "textDocument/didOpen") {
    did_open(server, message.params);
  } else if (method == "textDocument/didChange") {
    did_change(server, message.params);
  } else if (method == "textDocument/didClose") {
    did_close(server, message.params);
  } else if (method == "textDocument/didSave") {
    // Another document may include the file just written.
    mark_readers_stale(server, uri_to_path(document_uri(message.params)));
  } else if (method == "workspace/didChangeConfiguration") {
    if (find_options(member(message.params, "settings"), server.options))
      mark_all_stale(server);
  }
  // initialized, $/cancelRequest (handled with the batch it came in, by
  // handle_batch) and unknown notifications need nothing.
}

// The requests about a document answered from its last analysis.
enum class Question {
  hover, definition, declaration, references, highlight, symbols, completion,
  code_lens, disassemble
};

const std::map<std::string, Question, std::less<>> position_requests = {
    {"textDocument/hover", Question::hover},
    {"textDocument/definition", Question::definition},
    {"textDocument/declaration", Question::declaration},
    {"textDocument/references", Question::references},
    {"textDocument/documentHighlight", Question::highlight},
    {"textDocument/documentSymbol", Question::symbols},
    {"textDocument/completion", Question::completion},
    {"textDocument/codeLens", Question::code_lens},
    {"qxl/disassemble", Question::disassemble},
};

// The answer to a question about a position of `doc` from `analysis`.
Json answer(Question question, const Analysis& analysis, const Document& doc,
            Position at, const Json& params) {
  switch (question) {
    case Question::hover: return hover(analysis, doc, at);
    case Question::definition: return definition(analysis, doc, at, false);
    case Question::declaration: return definition(analysis, doc, at, true);
    case Question::references: {
      bool include = true;
      if (params.contains("context") && params["context"].is_object() &&
          params["context"].contains("includeDeclaration") &&
          params["context"]["includeDeclaration"].is_boolean())
        include = params["context"]["includeDeclaration"].get<bool>();
      return references(analysis, doc, at, include);
    }
    case Question::highlight: return highlights(analysis, doc, at);
    case Question::symbols: return document_symbols(analysis, doc);
    case Question::completion: return completion(analysis, doc, at);
    case Question::code_lens: return code_lenses(analysis, doc);
    case Question::disassemble: return disassembly(analysis, doc, at);
  }
  return nullptr;
}

bool is_word_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// The text of a 0-based line of a document, line end excluded.
std::string_view line_text(const Document& d, std::size_t line) {
  if (line >= d.line_starts.size()) return {};
  const std::size_t start = d.line_starts[line];
  std::size_t end = line + 1 < d.line_starts.size() ? d.line_starts[line + 1] : d.text.size();
  while (end > start && (d.text[end - 1] == '\n' || d.text[end - 1] == '\r')) --end;
  return std::string_view(d.text).substr(start, end - start);
}

// Carries a position of the current text `now` over to an older text
// `then`: to the same line when it reads the same, else to the nearest
// line of `then` where the word at the position stands, at that word.
std::optional<Position> carried_position(const Document& now, Position at,
                                         const Document& then) {
  const std::size_t line = static_cast<std::size_t>(std::max(at.line, 0));
  const std::string_view current = line_text(now, line);
  if (line < then.line_starts.size() && line_text(then, line) == current) return at;
  const std::size_t offset = now.offset_of(at);
  std::size_t start = offset;
  std::size_t end = offset;
  while (start > 0 && is_word_byte(now.text[start - 1])) --start;
  while (end < now.text.size() && is_word_byte(now.text[end])) ++end;
  if (start == end) return std::nullopt;
  const std::string_view word = std::string_view(now.text).substr(start, end - start);
  const std::size_t lines = then.line_starts.size();
  for (std::size_t distance = 0; distance < lines; ++distance) {
    for (const int side : {-1, 1}) {
      if (distance == 0 && side == 1) continue;
      const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(line) + side * static_cast<std::ptrdiff_t>(distance);
      if (n < 0 || static_cast<std::size_t>(n) >= lines) continue;
      const std::string_view text = line_text(then, static_cast<std::size_t>(n));
      for (std::size_t hit = text.find(word); hit != std::string_view::npos;
           hit = text.find(word, hit + 1)) {
        if ((hit > 0 && is_word_byte(text[hit - 1])) ||
            (hit + word.size() < text.size() && is_word_byte(text[hit + word.size()])))
          continue;
        const std::size_t base = then.line_starts[static_cast<std::size_t>(n)];
        return then.position_of(base + hit + (offset - start));
      }
    }
  }
  return std::nullopt;
}

bool is_empty_answer(const Json& result) {
  return result.is_null() || (result.is_array() && result.empty());
}

void answer_at_position(Server& server, const Incoming& message, Question question) {
  const Json& params = message.params;
  const std::string uri = document_uri(params);
  const bool whole = question == Question::symbols || question == Question::code_lens;
  const Position at = whole ? Position{} : position_param(params);
  const auto document = server.documents.find(uri);
  if (document == server.documents.end()) {
    reply_error(server, message.id, error_code::invalid_params,
                "document not open: " + uri);
    return;
  }
  // A document changed since its last analysis is compiled first, so that
  // the answer is about the text the editor shows.
  if (server.stale.count(uri) != 0 || server.analyses.count(uri) == 0) run_analyses(server);
  const Analysis& analysis = server.analyses.at(uri);
  const Document& doc = document->second;
  Json result = answer(question, analysis, doc, at, params);
  // A compile that stopped at an error knows nothing of the names after
  // it: what the last complete analysis knew stands in, at the place the
  // position has in its text.
  const auto complete = server.complete.find(uri);
  // (Lenses and listings are of the bytecode, which a failed compile
  // does not have.)
  if (complete != server.complete.end() && question != Question::symbols &&
      question != Question::code_lens && question != Question::disassemble &&
      (is_empty_answer(result) || question == Question::completion)) {
    const Analysis& older = complete->second.analysis;
    const Document& then = complete->second.text;
    if (const std::optional<Position> there = carried_position(doc, at, then)) {
      Json more = answer(question, older, then, *there, params);
      if (question != Question::completion) {
        if (!is_empty_answer(more)) result = std::move(more);
      } else {
        std::set<std::string> labels;
        for (const Json& item : result) labels.insert(item["label"].get<std::string>());
        for (Json& item : more)
          if (labels.insert(item["label"].get<std::string>()).second)
            result.push_back(std::move(item));
      }
    }
  }
  if (question == Question::completion)
    result = {{"isIncomplete", false}, {"items", std::move(result)}};
  reply(server, message.id, std::move(result));
}

void handle_request(Server& server, const Incoming& message) {
  const std::string& method = message.method;
  if (method == "initialize") {
    if (server.initialized) {
      reply_error(server, message.id, error_code::invalid_request,
                  "initialize was already received");
      return;
    }
    initialize(server, message);
    return;
  }
  if (!server.initialized) {
    reply_error(server, message.id, error_code::server_not_initialized,
                "the server is not initialized");
    return;
  }
  if (server.shutdown_requested) {
    reply_error(server, message.id, error_code::invalid_request,
                "the server is shutting down");
    return;
  }
  if (method == "shutdown") {
    server.shutdown_requested = true;
    reply(server, message.id, nullptr);
    return;
  }
  if (method == "workspace/executeCommand") {
    const auto params = disassemble_command_params(message.params);
    if (!params) throw BadParams{"unknown command or bad arguments"};
    answer_at_position(server, {message.kind, message.id, method, *params, 0, {}},
                       Question::disassemble);
    return;
  }
  if (const auto request = position_requests.find(method);
      request != position_requests.end()) {
    answer_at_position(server, message, request->second);
    return;
  }
  if (answer_editing_request(server, message)) return;
  reply_error(server, message.id, error_code::method_not_found,
              "unknown method " + method);
}

}  // namespace

void handle_message(Server& server, const Incoming& message) {
  try {
    switch (message.kind) {
      case Incoming::Kind::request:
        handle_request(server, message);
        break;
      case Incoming::Kind::notification:
        handle_notification(server, message);
        break;
      case Incoming::Kind::response:
        break;
      case Incoming::Kind::invalid:
        reply_error(server, message.id, message.error, message.message);
        break;
    }
  } catch (const BadParams& bad) {
    if (message.kind == Incoming::Kind::request)
      reply_error(server, message.id, error_code::invalid_params, bad.message);
    else
      std::fprintf(stderr, "qxl-lsp: %s: %s\n", message.method.c_str(),
                   bad.message.c_str());
  } catch (const Json::exception& bad) {
    if (message.kind == Incoming::Kind::request)
      reply_error(server, message.id, error_code::invalid_params, bad.what());
    else
      std::fprintf(stderr, "qxl-lsp: %s: %s\n", message.method.c_str(),
                   bad.what());
  }
}

void run_analyses(Server& server, const std::function<void()>& publish) {
  std::vector<Analysis*> fresh;
  for (const std::string& uri : server.stale) {
    const auto found = server.documents.find(uri);
    if (found == server.documents.end()) continue;
    Analysis& analysis = server.analyses[uri];
    // The last analysis that compiled to the end is kept while the
    // document's compiles stop at errors.
    if (analysis.session.status == 0 && analysis.located) {
      CompleteAnalysis& kept = server.complete[uri];
      kept.text.uri = uri;
      kept.text.path = found->second.path;
      kept.text.set_text(analysis.session.texts[analysis.path]);
      kept.analysis = std::move(analysis);
    }
    analysis = compile_document(found->second, server.documents, server.options);
    if (analysis.session.status == 0) server.complete.erase(uri);
    server.outgoing.push_back(make_notification(
        "textDocument/publishDiagnostics",
        diagnostics_params(analysis, found->second)));
    fresh.push_back(&analysis);
  }
  server.stale.clear();
  if (publish) publish();
  for (Analysis* analysis : fresh) locate_names(*analysis, server.documents);
}

int exit_status(const Server& server) { return server.shutdown_requested ? 0 : 1; }

void handle_batch(Server& server, const std::vector<Incoming>& batch) {
  // A request cancelled by a later message of the same batch is still
  // waiting, so it is answered as cancelled instead of being worked out.
  // A cancellation that comes later finds its request answered already.
  std::set<std::string> cancelled;
  for (const Incoming& message : batch)
    if (message.kind == Incoming::Kind::notification &&
        message.method == "$/cancelRequest" && message.params.is_object() &&
        message.params.contains("id"))
      cancelled.insert(message.params["id"].dump());
  for (const Incoming& message : batch) {
    if (server.exit_requested) break;
    if (message.kind == Incoming::Kind::request && server.initialized &&
        cancelled.count(message.id.dump()) != 0) {
      reply_error(server, message.id, error_code::request_cancelled,
                  "request cancelled");
      continue;
    }
    handle_message(server, message);
  }
}

namespace {

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool send_outgoing(Server& server, int out_fd) {
  for (const Json& message : server.outgoing) {
    const std::string body =
        message.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (!write_all(out_fd, frame(body))) return false;
  }
  server.outgoing.clear();
  return true;
}

}  // namespace

int serve(int in_fd, int out_fd) {
  Server server;
  FrameReader frames;
  std::string block(read_block_size, '\0');
  using Clock = std::chrono::steady_clock;
  Clock::time_point stale_since{};
  bool waiting = false;
  while (!server.exit_requested) {
    if (!send_outgoing(server, out_fd)) return 1;
    if (!server.stale.empty() && !waiting) {
      waiting = true;
      stale_since = Clock::now();
    }
    int timeout = -1;
    if (waiting) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                              Clock::now() - stale_since).count();
      timeout = waited >= longest_wait_milliseconds ? 0 : debounce_milliseconds;
    }
    pollfd input{in_fd, POLLIN, 0};
    const int ready = ::poll(&input, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      bool sent = true;
      run_analyses(server, [&] { sent = send_outgoing(server, out_fd); });
      if (!sent) return 1;
      waiting = false;
      continue;
    }
    const ssize_t n = ::read(in_fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input without exit
    frames.feed(std::string_view(block.data(), static_cast<std::size_t>(n)));
    std::string error;
    std::vector<Incoming> batch;
    while (true) {
      std::optional<std::string> body = frames.next(error);
      if (!body) {
        if (error.empty()) break;
        std::fprintf(stderr, "qxl-lsp: %s\n", error.c_str());
        error.clear();
        continue;
      }
      batch.push_back(parse_message(*body));
    }
    handle_batch(server, batch);
    if (server.stale.empty()) waiting = false;
  }
  send_outgoing(server, out_fd);
  return server.exit_requested ? exit_status(server) : 1;
}

}  // namespace qxl::lsp
