#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace deskwave::testing {

// The Node.js stand-in for APNs (tests/delivery/apns_standin.js) as a child
// process. It exits when its standard input closes, so it cannot outlive a
// crashed test; it is also stopped when this object is destroyed.
class ApnsStandinProcess {
 public:
  ApnsStandinProcess(const std::string& script, const std::vector<std::string>& arguments);
  ~ApnsStandinProcess();
  ApnsStandinProcess(const ApnsStandinProcess&) = delete;
  ApnsStandinProcess& operator=(const ApnsStandinProcess&) = delete;

  // The port it listens on (its first line of output); 0 when it did not start.
  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace deskwave::testing
