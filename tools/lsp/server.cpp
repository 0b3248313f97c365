#include "tools/lsp/server.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "driver/options.h"
#include "driver/search_paths.h"
#include "tools/lsp/editing.h"

namespace qxl::lsp {

namespace {

// Thrown by the parameter readers for parameters of the wrong shape.
struct BadParams {
  std::string message;
};

// Longest time a document waits for quiet input before it is compiled
// anyway, so that a steady stream of messages cannot starve it.
constexpr int longest_wait_milliseconds = 500;
constexpr std::size_t read_block_size = 65536;

const Json& member(const Json& object, const char* name) {
  if (!object.is_object() || !object.contains(name))
    throw BadParams{std::string("missing ") + name};
  return object[name];
}

std::string string_member(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_string()) throw BadParams{std::string(name) + " is not a string"};
  return value.get<std::string>();
}

std::int64_t integer_member(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_number_integer())
    throw BadParams{std::string(name) + " is not an integer"};
  return value.get<std::int64_t>();
}

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
      {"completionProvider", {{"triggerCharacters", Json::array()}}},
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
  server.documents[document.uri] = std::move(document);
  mark_all_stale(server);
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
  mark_all_stale(server);
}

void did_close(Server& server, const Json& params) {
  const std::string uri = document_uri(params);
  if (server.documents.erase(uri) == 0) return;
  server.analyses.erase(uri);
  server.stale.erase(uri);
  server.outgoing.push_back(make_notification(
      "textDocument/publishDiagnostics",
      {{"uri", uri}, {"diagnostics", Json::array()}}));
  mark_all_stale(server);
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
    document_uri(message.params);
    mark_all_stale(server);
  } else if (method == "workspace/didChangeConfiguration") {
    if (find_options(member(message.params, "settings"), server.options))
      mark_all_stale(server);
  }
  // initialized, $/cancelRequest (every request is answered before the
  // next is read) and unknown notifications need nothing.
}

// The requests about a document answered from its last analysis.
enum class Question {
  hover, definition, declaration, references, highlight, symbols, completion
};

const std::map<std::string, Question, std::less<>> position_requests = {
    {"textDocument/hover", Question::hover},
    {"textDocument/definition", Question::definition},
    {"textDocument/declaration", Question::declaration},
    {"textDocument/references", Question::references},
    {"textDocument/documentHighlight", Question::highlight},
    {"textDocument/documentSymbol", Question::symbols},
    {"textDocument/completion", Question::completion},
};

Position position_param(const Json& params) {
  const Json& at = member(params, "position");
  const std::int64_t line = integer_member(at, "line");
  const std::int64_t character = integer_member(at, "character");
  if (line < 0 || character < 0) throw BadParams{"negative position"};
  constexpr std::int64_t largest = 1 << 30;
  return {static_cast<int>(std::min(line, largest)),
          static_cast<int>(std::min(character, largest))};
}

void answer_at_position(Server& server, const Incoming& message, Question question) {
  const Json& params = message.params;
  const std::string uri = document_uri(params);
  const Position at = question == Question::symbols ? Position{} : position_param(params);
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
  Json result;
  switch (question) {
    case Question::hover: result = hover(analysis, doc, at); break;
    case Question::definition: result = definition(analysis, doc, at, false); break;
    case Question::declaration: result = definition(analysis, doc, at, true); break;
    case Question::references: {
      bool include = true;
      if (params.contains("context") && params["context"].is_object() &&
          params["context"].contains("includeDeclaration") &&
          params["context"]["includeDeclaration"].is_boolean())
        include = params["context"]["includeDeclaration"].get<bool>();
      result = references(analysis, doc, at, include);
      break;
    }
    case Question::highlight: result = highlights(analysis, doc, at); break;
    case Question::symbols: result = document_symbols(analysis, doc); break;
    case Question::completion:
      result = {{"isIncomplete", false}, {"items", completion(analysis, doc, at)}};
      break;
  }
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

void run_analyses(Server& server) {
  for (const std::string& uri : server.stale) {
    const auto found = server.documents.find(uri);
    if (found == server.documents.end()) continue;
    Analysis analysis = analyze(found->second, server.documents, server.options);
    server.outgoing.push_back(make_notification(
        "textDocument/publishDiagnostics",
        diagnostics_params(analysis, found->second)));
    server.analyses[uri] = std::move(analysis);
  }
  server.stale.clear();
}

int exit_status(const Server& server) { return server.shutdown_requested ? 0 : 1; }

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
      run_analyses(server);
      waiting = false;
      continue;
    }
    const ssize_t n = ::read(in_fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input without exit
    frames.feed(std::string_view(block.data(), static_cast<std::size_t>(n)));
    std::string error;
    while (!server.exit_requested) {
      std::optional<std::string> body = frames.next(error);
      if (!body) {
        if (error.empty()) break;
        std::fprintf(stderr, "qxl-lsp: %s\n", error.c_str());
        error.clear();
        continue;
      }
      handle_message(server, parse_message(*body));
    }
    if (server.stale.empty()) waiting = false;
  }
  send_outgoing(server, out_fd);
  return server.exit_requested ? exit_status(server) : 1;
}

}  // namespace qxl::lsp
