#pragma once

#include <deque>
#include <memory>
#include <string>

#include "platform/http_client.h"

namespace deskwave::testing {

// Records requests; the test answers them in order with `respond` or `fail`.
// Completions are posted to the executor the caller named, like the real client.
class FakeHttpClient final : public HttpClient {
 public:
  struct Pending {
    HttpRequest request;
    std::shared_ptr<Executor> completeOn;
    Completion done;
  };

  void send(HttpRequest request, std::shared_ptr<Executor> completeOn, Completion done) override {
    requests.push_back(request);
    pending.push_back({std::move(request), std::move(completeOn), std::move(done)});
  }

  // Answers the oldest unanswered request; false when there is none.
  bool respond(int status, std::string body = {}) { return finish(HttpResult{HttpResponse{status, std::move(body)}, {}}); }
  bool fail(std::string error) { return finish(HttpResult{std::nullopt, std::move(error)}); }

  std::vector<HttpRequest> requests;  // every request sent, answered or not
  std::deque<Pending> pending;

 private:
  bool finish(HttpResult result) {
    if (pending.empty()) return false;
    auto p = std::move(pending.front());
    pending.pop_front();
    p.completeOn->post([done = std::move(p.done), result = std::move(result)]() mutable { done(std::move(result)); });
    return true;
  }
};

}  // namespace deskwave::testing
