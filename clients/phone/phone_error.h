#pragma once

#include <stdexcept>
#include <string>

namespace deskwave::phone {

// A command that could not do what was asked; the message is printed after
// "deskwave-phone: " and the program exits with `status`.
struct PhoneError : std::runtime_error {
  explicit PhoneError(const std::string& message, int status = 1) : std::runtime_error(message), status(status) {}
  int status;
};

// Exit statuses.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;    // the link failed or the desktop refused
inline constexpr int kBadInput = 2;  // the command line or a named file was unusable

}  // namespace deskwave::phone
