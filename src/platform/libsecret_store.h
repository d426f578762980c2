#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/secret_store.h"

namespace deskwave {

// Secrets in the desktop keyring (the freedesktop Secret Service, as offered
// by GNOME Keyring or KWallet), through libsecret: one item per key, schema
// "org.deskwave.Secret" with the attribute "key". Calls block until the
// service answers; check `probe` first. Safe to use from any thread.
class LibsecretStore final : public SecretStore {
 public:
  using Log = std::function<void(const std::string&)>;

  explicit LibsecretStore(Log log = {});

  std::optional<std::string> get(const std::string& key) override;
  void set(const std::string& value, const std::string& key) override;
  void remove(const std::string& key) override;

  // Whether a Secret Service answers on the session bus with an unlocked
  // default collection, each question waiting at most `timeout`. Never starts
  // a session bus and never shows an unlock prompt. When it does not answer,
  // `why` (if given) says what failed.
  static bool probe(std::chrono::milliseconds timeout, std::string* why = nullptr);

 private:
  Log log_;
};

}  // namespace deskwave
