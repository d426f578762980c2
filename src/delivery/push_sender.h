#pragma once

#include <string>

namespace deskwave {

// Announces replies, questions and permission requests by push notification.
class PushSender {
 public:
  virtual ~PushSender() = default;
  virtual void setDeviceToken(const std::string& token, bool sandbox) = 0;
  virtual void send(const std::string& title, const std::string& body, bool alwaysAlert) = 0;
};

}  // namespace deskwave
