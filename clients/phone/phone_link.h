#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "local_link.h"
#include "relay_link.h"

namespace deskwave::phone {

// One reply (or mirrored desk prompt) from the desktop's outbox.
struct Reply {
  std::string id;
  std::string target;
  std::string text;
  std::string role;
};

struct Image {
  std::string name;
  std::string bytes;
};

// What the commands need from a link to the desktop, over either transport.
class PhoneLink {
 public:
  virtual ~PhoneLink() = default;
  virtual void sendPrompt(const std::string& target, const std::string& text) = 0;
  virtual void sendImages(const std::string& target, const std::string& text, const std::vector<Image>& images) = 0;
  // Waits up to `wait` for replies and acknowledges every one it returns. A
  // reply may come again until the desktop has seen its acknowledgement.
  virtual std::vector<Reply> receive(Seconds wait) = 0;
  // A read of the desktop's state: "/status", "/perm-poll" or "/tabs".
  virtual nlohmann::json read(const std::string& path) = 0;
  virtual void answer(const std::string& id, const std::string& decision) = 0;
};

std::unique_ptr<PhoneLink> makeLocalPhoneLink(LocalLink link);
// `connected` must already be connected; the link reconnects by itself when
// the relay goes away while replies are awaited.
std::unique_ptr<PhoneLink> makeRelayPhoneLink(std::unique_ptr<RelayLink> connected);

}  // namespace deskwave::phone
