#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include "platform/service_advertiser.h"

namespace deskwave {
namespace {

// Publishes one service through the Avahi daemon. Avahi's callbacks run on its
// own poll thread; calls from other threads take the poll's lock.
class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  explicit AvahiAdvertiser(std::function<void(const std::string&)> log) : log_(std::move(log)) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) {
      say("DNS-SD: cannot start the Avahi event loop; not advertising");
      return;
    }
    client_ = newClient();
    if (avahi_threaded_poll_start(poll_) < 0) say("DNS-SD: cannot start the Avahi event loop; not advertising");
  }

  ~AvahiAdvertiser() override {
    if (!poll_) return;
    avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    avahi_threaded_poll_free(poll_);
  }

  void advertise(const std::string& name, const std::string& type, std::uint16_t port) override {
    if (!poll_) return;
    avahi_threaded_poll_lock(poll_);
    name_ = name;
    type_ = type;
    port_ = port;
    wanted_ = true;
    if (group_) avahi_entry_group_reset(group_);
    if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING) publish(client_);
    avahi_threaded_poll_unlock(poll_);
  }

 private:
  void say(const std::string& line) {
    if (log_) log_(line);
  }

  AvahiClient* newClient() {
    int error = 0;
    auto* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, &AvahiAdvertiser::onClient,
                                    this, &error);
    if (!client) say(std::string("DNS-SD: cannot reach Avahi: ") + avahi_strerror(error) + "; not advertising");
    return client;
  }

  static void onClient(AvahiClient* client, AvahiClientState state, void* self) {
    static_cast<AvahiAdvertiser*>(self)->clientChanged(client, state);
  }

  void clientChanged(AvahiClient* client, AvahiClientState state) {
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        waitingSaid_ = false;
        if (wanted_) publish(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        if (group_) avahi_entry_group_reset(group_);
        break;
      case AVAHI_CLIENT_CONNECTING:
        if (!waitingSaid_) say("DNS-SD: no Avahi daemon reachable yet; will advertise when it starts");
        waitingSaid_ = true;
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          // The daemon went away: start over and wait for it to come back.
          group_ = nullptr;
          avahi_client_free(client);
          client_ = nullptr;
          client_ = newClient();
        } else {
          say(std::string("DNS-SD: Avahi failed: ") + avahi_strerror(avahi_client_errno(client)));
        }
        break;
    }
  }

  void publish(AvahiClient* client) {
    if (!group_) {
      group_ = avahi_entry_group_new(client, &AvahiAdvertiser::onGroup, this);
      if (!group_) {
        say(std::string("DNS-SD: cannot create a service group: ") + avahi_strerror(avahi_client_errno(client)));
        return;
      }
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    for (;;) {
      const int rc = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                   name_.c_str(), type_.c_str(), nullptr, nullptr, port_, nullptr);
      if (rc == AVAHI_ERR_COLLISION) {
        takeAlternativeName();
        continue;
      }
      if (rc < 0) {
        say(std::string("DNS-SD: cannot add the service: ") + avahi_strerror(rc));
        return;
      }
      break;
    }
    if (const int rc = avahi_entry_group_commit(group_); rc < 0)
      say(std::string("DNS-SD: cannot publish the service: ") + avahi_strerror(rc));
  }

  void takeAlternativeName() {
    char* alternative = avahi_alternative_service_name(name_.c_str());
    name_ = alternative;
    avahi_free(alternative);
    say("DNS-SD: name taken on the network; now \"" + name_ + "\"");
  }

  static void onGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    static_cast<AvahiAdvertiser*>(self)->groupChanged(group, state);
  }

  void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state) {
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        say("DNS-SD: advertising \"" + name_ + "\" (" + type_ + ") on port " + std::to_string(port_));
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        takeAlternativeName();
        avahi_entry_group_reset(group);
        publish(avahi_entry_group_get_client(group));
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        say(std::string("DNS-SD: advertising failed: ") +
            avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        break;
      default:
        break;
    }
  }

  std::function<void(const std::string&)> log_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::string name_;
  std::string type_;
  std::uint16_t port_ = 0;
  bool wanted_ = false;
  bool waitingSaid_ = false;
};

}  // namespace

std::shared_ptr<ServiceAdvertiser> makeAvahiAdvertiser(std::function<void(const std::string&)> log) {
  return std::make_shared<AvahiAdvertiser>(std::move(log));
}

}  // namespace deskwave
