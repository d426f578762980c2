#pragma once

#include <functional>
#include <string>
#include <vector>

#include "delivery/outbox_item.h"
#include "platform/observable.h"
#include "relay/pairing_manager.h"

namespace deskwave {

// The internet link: a WebSocket room shared with the phone, payloads sealed
// with the pairing key. Hooks and `peerConnected` are used on the main thread,
// except `pendingProvider`, which the resend timer may call from a background queue.
class RelayClient {
 public:
  virtual ~RelayClient() = default;

  virtual void start(const std::string& roomId, const SymmetricKey& key) = 0;
  // Sends one item now; does nothing while not connected.
  virtual void sendResponse(const OutboxItem& item) = 0;
  virtual void sendTabs(const std::vector<std::string>& tabs) = 0;

  // The phone is in the room.
  Observable<bool> peerConnected{false};

  std::function<void(const std::string& target, const std::string& text)> onMessage;
  std::function<void()> onPeerJoined;
  std::function<std::vector<OutboxItem>()> pendingProvider;
  std::function<void(const std::string& id)> onAck;
};

}  // namespace deskwave
