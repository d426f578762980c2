#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

namespace deskwave {

struct ListenAddress {
  std::string address;  // without the brackets of an IPv6 literal
  std::uint16_t port = 0;
};

// Parses a server's --listen value, ADDRESS:PORT or [IPv6]:PORT (port 0 picks a
// free one). Says what is wrong on standard error, as `program`, and returns
// nullopt when the value cannot be used.
inline std::optional<ListenAddress> parseListenAddress(const std::string& program, const std::string& listen) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) {
    std::cerr << program << ": --listen needs ADDRESS:PORT, got \"" << listen << "\"\n";
    return std::nullopt;
  }
  ListenAddress out;
  out.address = listen.substr(0, colon);
  if (out.address.size() > 2 && out.address.front() == '[' && out.address.back() == ']')
    out.address = out.address.substr(1, out.address.size() - 2);
  const auto digits = listen.substr(colon + 1);
  int port = -1;
  if (!digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string::npos)
    port = std::stoi(digits);
  if (port < 0 || port > 65535) {
    std::cerr << program << ": invalid port in \"" << listen << "\"\n";
    return std::nullopt;
  }
  out.port = static_cast<std::uint16_t>(port);
  return out;
}

}  // namespace deskwave
