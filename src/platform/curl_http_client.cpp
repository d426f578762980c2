#include "platform/curl_http_client.h"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <strings.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace deskwave {
namespace {

// Answers larger than this are cut off with an error rather than held in memory.
constexpr std::size_t kMaxResponseBytes = 16 * 1024 * 1024;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Adds every certificate of the PEM file `path` to the context's trust store,
// next to the system's. Called by libcurl for each new TLS context.
CURLcode addExtraCertificates(CURL*, void* sslContext, void* path) {
  auto* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  BIO* bio = BIO_new_file(static_cast<const std::string*>(path)->c_str(), "r");
  if (!bio) return CURLE_SSL_CACERT_BADFILE;
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!infos) return CURLE_SSL_CACERT_BADFILE;
  int added = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
    auto* info = sk_X509_INFO_value(infos, i);
    if (info->x509 && X509_STORE_add_cert(store, info->x509) == 1) ++added;
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

struct Transfer {
  HttpRequest request;
  std::shared_ptr<Executor> completeOn;
  HttpClient::Completion done;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string body;
  bool tooLarge = false;
  char errorText[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (headers) curl_slist_free_all(headers);
    if (easy) curl_easy_cleanup(easy);
  }

  void complete(HttpResult result) {
    if (!done) return;
    auto finish = std::move(done);
    done = nullptr;
    completeOn->post([finish = std::move(finish), result = std::move(result)]() mutable { finish(std::move(result)); });
  }
};

size_t appendBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (t->body.size() + bytes > kMaxResponseBytes) {
    t->tooLarge = true;
    return 0;  // makes libcurl stop with a write error
  }
  t->body.append(data, bytes);
  return bytes;
}

class CurlHttpClient final : public HttpClient {
 public:
  CurlHttpClient() : extraCAs_(environment("DESKWAVE_CA_BUNDLE")) {
    initCurlOnce();
    multi_ = curl_multi_init();
    std::string noProxy = environment("no_proxy");
    if (noProxy.empty()) noProxy = environment("NO_PROXY");
    noProxy_ = noProxy.empty() ? "127.0.0.1,localhost,::1" : noProxy + ",127.0.0.1,localhost,::1";
    thread_ = std::thread([this] { run(); });
  }

  ~CurlHttpClient() override {
    stopping_ = true;
    curl_multi_wakeup(multi_);
    thread_.join();
    curl_multi_cleanup(multi_);
  }

  void send(HttpRequest request, std::shared_ptr<Executor> completeOn, Completion done) override {
    auto t = std::make_unique<Transfer>();
    t->request = std::move(request);
    t->completeOn = std::move(completeOn);
    t->done = std::move(done);
    {
      std::lock_guard lock(mutex_);
      incoming_.push_back(std::move(t));
    }
    curl_multi_wakeup(multi_);
  }

 private:
  void run() {
    while (!stopping_) {
      startIncoming();
      int running = 0;
      curl_multi_perform(multi_, &running);
      finishCompleted();
      curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    // Whatever is left fails: nothing is dropped without an answer.
    startIncoming();
    for (auto& [easy, t] : active_) {
      curl_multi_remove_handle(multi_, easy);
      t->complete(HttpResult{std::nullopt, "cancelled"});
    }
    active_.clear();
  }

  void startIncoming() {
    std::deque<std::unique_ptr<Transfer>> batch;
    {
      std::lock_guard lock(mutex_);
      batch.swap(incoming_);
    }
    for (auto& t : batch) {
      if (auto error = prepare(*t)) {
        t->complete(HttpResult{std::nullopt, *error});
        continue;
      }
      if (stopping_ || curl_multi_add_handle(multi_, t->easy) != CURLM_OK) {
        t->complete(HttpResult{std::nullopt, stopping_ ? "cancelled" : "cannot start the request"});
        continue;
      }
      CURL* easy = t->easy;
      active_.emplace(easy, std::move(t));
    }
  }

  // Sets up the transfer's handle; an error text when it cannot be made.
  std::optional<std::string> prepare(Transfer& t) {
    t.easy = curl_easy_init();
    if (!t.easy) return "cannot create a request";
    const auto& r = t.request;
    CURL* e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorText);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy_.c_str());
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(r.timeout.count() * 1000));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    if (r.body) {
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body->size()));
      curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, r.body->c_str());
    }
    if (r.method == "GET" && !r.body) curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    else if (r.method != "POST" || !r.body) curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                     r.http2Only ? CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE : CURL_HTTP_VERSION_2TLS);
    // A body-less POST would otherwise get a form content type from libcurl.
    bool hasContentType = false;
    for (const auto& [name, value] : r.headers) {
      if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
        return "invalid header " + name;
      t.headers = curl_slist_append(t.headers, (name + ": " + value).c_str());
      hasContentType = hasContentType || strcasecmp(name.c_str(), "content-type") == 0;
    }
    if (!hasContentType) t.headers = curl_slist_append(t.headers, "Content-Type:");
    t.headers = curl_slist_append(t.headers, "Expect:");  // no 100-continue round trip
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    if (!extraCAs_.empty()) {
      curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, addExtraCertificates);
      curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &extraCAs_);
    }
    return std::nullopt;
  }

  void finishCompleted() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      auto it = active_.find(msg->easy_handle);
      if (it == active_.end()) continue;
      auto t = std::move(it->second);
      active_.erase(it);
      curl_multi_remove_handle(multi_, t->easy);
      t->complete(resultOf(*t, msg->data.result));
    }
  }

  static HttpResult resultOf(const Transfer& t, CURLcode code) {
    if (t.tooLarge) return {std::nullopt, "the response is larger than " + std::to_string(kMaxResponseBytes) + " bytes"};
    if (code != CURLE_OK) {
      std::string why = curl_easy_strerror(code);
      if (t.errorText[0] && why != t.errorText) why += ": " + std::string(t.errorText);
      return {std::nullopt, why};
    }
    long version = 0;
    curl_easy_getinfo(t.easy, CURLINFO_HTTP_VERSION, &version);
    if (t.request.http2Only && version != CURL_HTTP_VERSION_2_0) return {std::nullopt, "the server did not answer in HTTP/2"};
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    return {HttpResponse{static_cast<int>(status), t.body}, {}};
  }

  const std::string extraCAs_;
  std::string noProxy_;
  CURLM* multi_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> incoming_;
  std::map<CURL*, std::unique_ptr<Transfer>> active_;  // touched only by the client's thread
  std::thread thread_;
};

}  // namespace

std::shared_ptr<HttpClient> makeCurlHttpClient() { return std::make_shared<CurlHttpClient>(); }

}  // namespace deskwave
