#include "tools/app_scanner.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/text.h"

namespace deskwave {
namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

// The names of {"tools": [strings]}, or why the body is not that.
std::optional<std::vector<std::string>> decodeTools(const std::string& body, std::string& why) {
  const auto value = nlohmann::json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    why = "the answer is not JSON";
    return std::nullopt;
  }
  if (!value.is_object() || !value.contains("tools")) {
    why = "missing key \"tools\"";
    return std::nullopt;
  }
  const auto& tools = value.at("tools");
  if (!tools.is_array()) {
    why = "\"tools\" is not a list";
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const auto& name : tools) {
    if (!name.is_string()) {
      why = "\"tools\" holds something other than a string";
      return std::nullopt;
    }
    names.push_back(name.get<std::string>());
  }
  return names;
}

}  // namespace

std::string ScanError::errorDescription() const {
  switch (kind) {
    case Kind::apiFailure:
      return "API error " + std::to_string(status);
    case Kind::invalidResponse:
      return "Parse error: " + text;
    case Kind::transport:
      break;
  }
  return text;
}

AppScanner::AppScanner(std::shared_ptr<HttpClient> http, std::string scanURL, InstalledNames installedNames,
                       Print print)
    : http_(std::move(http)), scanURL_(std::move(scanURL)), installedNames_(std::move(installedNames)),
      print_(print ? std::move(print) : Print([](const std::string& line) { printLine(line); })) {}

void AppScanner::detectAITools(std::shared_ptr<Executor> completeOn, Done done) const {
  auto names = installedNames_ ? installedNames_() : std::vector<std::string>{};
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  print_("[AppScanner] Found " + std::to_string(names.size()) + " installed apps — asking relay to classify");

  HttpRequest request;
  request.method = "POST";
  request.url = scanURL_;
  request.headers = {{"Content-Type", "application/json"}};
  // Application names come from files; replace bytes that are not UTF-8 rather than fail.
  request.body = nlohmann::json{{"names", names}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  request.timeout = kRequestTimeout;

  http_->send(std::move(request), std::move(completeOn), [print = print_, done = std::move(done)](HttpResult result) {
    if (!result.response && !result.error.empty()) {
      print("[AppScanner] relay /scan failed: " + result.error);
      done({{}, ScanError::transport(std::move(result.error))});
      return;
    }
    const int status = result.response ? result.response->status : -1;
    if (status != 200) {
      print("[AppScanner] relay /scan HTTP " + std::to_string(status));
      done({{}, ScanError::apiFailure(status)});
      return;
    }
    std::string why;
    auto tools = decodeTools(result.response->body, why);
    if (!tools) {
      print("[AppScanner] relay /scan answer unreadable: " + why);
      done({{}, ScanError::invalidResponse(std::move(why))});
      return;
    }
    print("[AppScanner] relay returned " + std::to_string(tools->size()) + ": " + joined(*tools));
    std::erase_if(*tools, [](const std::string& name) { return lowercased(name) == "deskwave"; });
    std::sort(tools->begin(), tools->end());
    done({std::move(*tools), std::nullopt});
  });
}

}  // namespace deskwave
