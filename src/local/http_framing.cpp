#include "local/http_framing.h"

#include <charconv>
#include <vector>

#include "platform/text.h"

namespace deskwave {
namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (;;) {
    const auto at = text.find("\r\n");
    lines.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 2);
  }
  return lines;
}

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool isBrowserHeader(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  const auto name = lowerAscii(trimWhitespace(line.substr(0, colon)));
  return name == "origin" || name.starts_with("sec-fetch-");
}

LocalResponse forbidden() { return {"403 Forbidden", R"({"error":"forbidden"})"}; }

}  // namespace

long long parseContentLength(std::string_view value) {
  const auto trimmed = trimWhitespace(value);
  std::string_view digits = trimmed;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return 0;
  long long n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return 0;
  return negative ? 0 : n;
}

FrameResult frameRequest(std::string_view buffer, bool peerDone) {
  FrameResult result;
  const auto headerEnd = buffer.find(kTerminator);
  if (headerEnd == std::string_view::npos || headerEnd > kMaxHeaderBytes) {
    if (buffer.size() > kMaxHeaderBytes + kTerminator.size() || headerEnd != std::string_view::npos) {
      result.status = FrameStatus::reject;
      result.rejection = {"431 Request Header Fields Too Large", R"({"error":"header too large"})"};
    } else {
      result.status = peerDone ? FrameStatus::drop : FrameStatus::needMore;
    }
    return result;
  }

  // A header that is not valid UTF-8 reads as empty: method "", path "/".
  const auto headerBytes = buffer.substr(0, headerEnd);
  const std::string_view header = isValidUtf8(headerBytes) ? headerBytes : std::string_view();
  const auto lines = splitLines(header);

  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (isBrowserHeader(lines[i])) {
      result.status = FrameStatus::reject;
      result.rejection = forbidden();
      return result;
    }
  }

  // Request line: parts separated by single blanks.
  const auto requestLine = lines.front();
  const auto firstBlank = requestLine.find(' ');
  auto& request = result.request;
  request.method = std::string(requestLine.substr(0, firstBlank));
  if (firstBlank == std::string_view::npos) {
    request.path = "/";
  } else {
    const auto rest = requestLine.substr(firstBlank + 1);
    request.path = std::string(rest.substr(0, rest.find(' ')));
  }

  if (request.method == "GET") {
    const auto& p = request.path;
    if (p == "/tabs" || p == "/responses" || p == "/perm-poll" || p == "/status" || p.starts_with("/perm-result")) {
      result.status = FrameStatus::ready;
      return result;
    }
  }

  long long length = 0;
  for (const auto line : lines) {
    static constexpr std::string_view kName = "content-length:";
    if (line.size() >= kName.size() && lowerAscii(line.substr(0, kName.size())) == kName)
      length = parseContentLength(line.substr(kName.size()));
  }
  if (length > kMaxBodyBytes) {
    result.status = FrameStatus::reject;
    result.rejection = {"413 Payload Too Large", R"({"error":"payload too large"})"};
    return result;
  }

  const auto rest = buffer.substr(headerEnd + kTerminator.size());
  if (rest.size() < static_cast<std::size_t>(length)) {
    result.status = peerDone ? FrameStatus::drop : FrameStatus::needMore;
    return result;
  }
  request.body = std::string(rest.substr(0, static_cast<std::size_t>(length)));
  request.bodyRead = true;
  result.status = FrameStatus::ready;
  return result;
}

std::string serializeResponse(const LocalResponse& response) {
  std::string out = "HTTP/1.1 " + response.status +
                    "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(response.body.size()) +
                    "\r\nConnection: close\r\n\r\n";
  out += response.body;
  return out;
}

}  // namespace deskwave
