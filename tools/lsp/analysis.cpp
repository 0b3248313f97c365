#include "tools/lsp/analysis.h"

#include <algorithm>

namespace qxl::lsp {

Analysis analyze(const Document& main, const std::map<std::string, Document>& open,
                 const std::vector<std::string>& options) {
  Analysis analysis;
  analysis.path = normal_path(main.path);
  analysis.version = main.version;
  for (const auto& [uri, document] : open)
    analysis.session.texts[normal_path(document.path)] = document.text;
  analysis.session.texts[analysis.path] = main.text;
  run_session(analysis.session, options, analysis.path);
  return analysis;
}

namespace {

Json position_json(Position p) { return {{"line", p.line}, {"character", p.character}}; }

Json range_json(Position start, Position end) {
  return {{"start", position_json(start)}, {"end", position_json(end)}};
}

int severity_of(MessageKind kind) {
  switch (kind) {
    case MessageKind::error: return severity::error;
    case MessageKind::warning: return severity::warning;
    case MessageKind::note: return severity::information;
  }
  return severity::information;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view white = " \t\r\n\f\v";
  const std::size_t first = text.find_first_not_of(white);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(white) - first + 1);
}

// The range of a 1-based line of the document: the token's text on it
// when the token is there, else the whole line.
Json line_range(const Document& document, int line, std::string_view token) {
  const std::size_t count = document.line_starts.size();
  const std::size_t index =
      std::min(static_cast<std::size_t>(std::max(line, 1) - 1),
               count == 0 ? 0 : count - 1);
  const std::size_t start = count == 0 ? 0 : document.line_starts[index];
  std::size_t end = index + 1 < count ? document.line_starts[index + 1] - 1
                                      : document.text.size();
  if (end > start && document.text[end - 1] == '\r') --end;
  const std::string_view text =
      std::string_view(document.text).substr(start, end - start);
  token = trimmed(token);
  if (!token.empty()) {
    const std::size_t at = text.find(token);
    if (at != std::string_view::npos)
      return range_json(document.position_of(start + at),
                        document.position_of(start + at + token.size()));
  }
  return range_json(document.position_of(start), document.position_of(end));
}

}  // namespace

Json diagnostics_params(const Analysis& analysis, const Document& document) {
  Json list = Json::array();
  bool error_shown = false;
  for (const MessageRecord& record : analysis.session.messages) {
    Json item;
    item["severity"] = severity_of(record.kind);
    item["source"] = "qxl";
    item["message"] = to_wire(record.text);
    error_shown = error_shown || record.kind == MessageKind::error;
    if (normal_path(record.file) == analysis.path) {
      item["range"] = line_range(document, record.line, record.token);
    } else {
      // A message about an included file: at the #include line, with the
      // place in the header as related information.
      item["range"] = line_range(document, record.main_line, {});
      const Position at{std::max(record.line, 1) - 1, 0};
      item["relatedInformation"] = Json::array(
          {{{"location",
             {{"uri", path_to_uri(normal_path(record.file))},
              {"range", range_json(at, at)}}},
            {"message", to_wire(record.text)}}});
    }
    list.push_back(std::move(item));
  }
  // A compile that failed without a located message (a bad option word, a
  // source that cannot be read) shows what it printed on the first line.
  if (analysis.session.status != 0 && !error_shown) {
    std::string text;
    std::string_view rest = analysis.session.console;
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      if (line.rfind("qxl ", 0) == 0 || trimmed(line).empty()) continue;
      if (!text.empty()) text += '\n';
      text += line;
    }
    if (text.empty()) text = "compile failed";
    list.push_back({{"severity", severity::error},
                    {"source", "qxl"},
                    {"message", to_wire(text)},
                    {"range", line_range(document, 1, {})}});
  }
  Json params{{"uri", document.uri}, {"diagnostics", std::move(list)}};
  params["version"] = analysis.version;
  return params;
}

}  // namespace qxl::lsp
