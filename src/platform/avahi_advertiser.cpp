#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include "platform/service_advertiser.h"

namespace deskwave {
namespace {

// A name collision is settled by the daemon's alternative names ("Deskwave #2",
// "#3", ...); this many in a row means something else is wrong.
constexpr int kMaxRenames = 50;

// Publishes one service through the Avahi daemon. Everything that touches the
// client runs on Avahi's poll thread or under its lock, and every log line
// comes from that thread. The client survives a missing daemon and a daemon
// restart: it waits in CONNECTING and publishes once the daemon is running.
class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  explicit AvahiAdvertiser(std::function<void(const std::string&)> log) : log_(std::move(log)) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) {
      say("DNS-SD: cannot start the Avahi event loop; not advertising");
      return;
    }
    // Connect from the poll thread, so the first status line (which Avahi
    // reports from inside avahi_client_new) does not run on the caller's thread.
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    timeval now{};
    // The poll owns the timeout and frees it with itself.
    AvahiTimeout* connect = api->timeout_new(api, avahi_elapse_time(&now, 0, 0), &AvahiAdvertiser::onConnect, this);
    if (!connect || avahi_threaded_poll_start(poll_) < 0) {
      say("DNS-SD: cannot start the Avahi event loop; not advertising");
      avahi_threaded_poll_free(poll_);  // also frees the timeout
      poll_ = nullptr;
    }
  }

  ~AvahiAdvertiser() override {
    if (!poll_) return;
    // Stop the thread first: after this no callback can run.
    avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    avahi_threaded_poll_free(poll_);
  }

  AvahiAdvertiser(const AvahiAdvertiser&) = delete;
  AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

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

  static void onConnect(AvahiTimeout* timeout, void* self) {
    auto* advertiser = static_cast<AvahiAdvertiser*>(self);
    avahi_threaded_poll_get(advertiser->poll_)->timeout_update(timeout, nullptr);
    advertiser->client_ = advertiser->newClient();
  }

  // Without a system bus this fails even with AVAHI_CLIENT_NO_FAIL; there is
  // nothing to wait for then.
  AvahiClient* newClient() {
    int error = 0;
    auto* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, &AvahiAdvertiser::onClient,
                                    this, &error);
    if (!client) say(std::string("DNS-SD: cannot reach Avahi (") + avahi_strerror(error) + "); not advertising");
    return client;
  }

  static void onClient(AvahiClient* client, AvahiClientState state, void* self) {
    static_cast<AvahiAdvertiser*>(self)->clientChanged(client, state);
  }

  // `client` may not be stored in client_ yet: Avahi reports the first state
  // from inside avahi_client_new.
  void clientChanged(AvahiClient* client, AvahiClientState state) {
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        waitingSaid_ = false;
        if (wanted_) publish(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host name is changing; publish again once the daemon runs.
        if (group_) avahi_entry_group_reset(group_);
        break;
      case AVAHI_CLIENT_CONNECTING:
        if (!waitingSaid_) say("DNS-SD: no Avahi daemon reachable yet; will advertise when it starts");
        waitingSaid_ = true;
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          // The daemon went away (or restarted): start over and wait for it.
          group_ = nullptr;
          avahi_client_free(client);
          client_ = nullptr;
          client_ = newClient();
        } else {
          say(std::string("DNS-SD: Avahi failed (") + avahi_strerror(avahi_client_errno(client)) +
              "); not advertising");
        }
        break;
    }
  }

  void publish(AvahiClient* client) {
    if (!group_) {
      group_ = avahi_entry_group_new(client, &AvahiAdvertiser::onGroup, this);
      if (!group_) {
        say(std::string("DNS-SD: cannot create a service group (") + avahi_strerror(avahi_client_errno(client)) + ")");
        return;
      }
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    for (int renames = 0;; ++renames) {
      const int rc = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                   name_.c_str(), type_.c_str(), nullptr, nullptr, port_, nullptr);
      if (rc == AVAHI_ERR_COLLISION && renames < kMaxRenames && takeAlternativeName()) continue;
      if (rc < 0) {
        say(std::string("DNS-SD: cannot add \"") + name_ + "\" (" + avahi_strerror(rc) + ")");
        return;
      }
      break;
    }
    if (const int rc = avahi_entry_group_commit(group_); rc < 0)
      say(std::string("DNS-SD: cannot publish \"") + name_ + "\" (" + avahi_strerror(rc) + ")");
  }

  bool takeAlternativeName() {
    char* alternative = avahi_alternative_service_name(name_.c_str());
    if (!alternative) return false;
    name_ = alternative;
    avahi_free(alternative);
    say("DNS-SD: name taken on the network; now \"" + name_ + "\"");
    return true;
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
        avahi_entry_group_reset(group);
        if (takeAlternativeName()) publish(avahi_entry_group_get_client(group));
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        say(std::string("DNS-SD: advertising failed (") +
            avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))) + ")");
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
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
