#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/executor.h"
#include "platform/http_client.h"

namespace deskwave {

// Why a scan gave no list of AI tools.
struct ScanError {
  enum class Kind {
    apiFailure,       // the relay answered with a status other than 200; -1: no HTTP answer
    invalidResponse,  // the answer was not {"tools": [strings]}
    transport,        // the request never got an answer; `text` is the transport's error
  };
  Kind kind = Kind::apiFailure;
  int status = 0;    // apiFailure
  std::string text;  // invalidResponse, transport

  static ScanError apiFailure(int status) { return {Kind::apiFailure, status, {}}; }
  static ScanError invalidResponse(std::string why) { return {Kind::invalidResponse, 0, std::move(why)}; }
  static ScanError transport(std::string error) { return {Kind::transport, 0, std::move(error)}; }

  // "API error 503", "Parse error: …", or the transport's own text.
  std::string errorDescription() const;
};

// The outcome of one scan: the AI tools, or why there are none.
struct ScanResult {
  std::vector<std::string> tools;  // sorted; empty when `error` is set
  std::optional<ScanError> error;
};

// Finds the installed applications that are AI coding tools: lists them here and
// lets the relay's "/scan" endpoint classify them. Keeps no state between
// scans; safe to use from any thread.
class AppScanner {
 public:
  using InstalledNames = std::function<std::vector<std::string>()>;
  using Print = std::function<void(const std::string&)>;
  using Done = std::function<void(ScanResult)>;

  static constexpr Seconds kRequestTimeout{90};

  // `installedNames` lists the installed applications (it reads files: call
  // detectAITools off the main thread). "[AppScanner]" lines go to `print`
  // (standard output by default).
  AppScanner(std::shared_ptr<HttpClient> http, std::string scanURL, InstalledNames installedNames, Print print = {});

  // Lists the installed applications on the calling thread and posts them to
  // the relay; `done` runs on `completeOn` with the sorted AI tools, never
  // including this program itself.
  void detectAITools(std::shared_ptr<Executor> completeOn, Done done) const;

  const std::string& scanURL() const { return scanURL_; }

 private:
  std::shared_ptr<HttpClient> http_;
  std::string scanURL_;
  InstalledNames installedNames_;
  Print print_;
};

}  // namespace deskwave
