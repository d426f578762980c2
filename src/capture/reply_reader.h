#pragma once

#include <optional>
#include <string>

namespace deskwave {

// One source of the reply to a prompt, polled by the response watcher.
class ReplyReader {
 public:
  virtual ~ReplyReader() = default;
  // A reply once the reader considers it final, else nullopt.
  virtual std::optional<std::string> pollStableReply() = 0;
  // One line about the last poll, for the debug log.
  virtual std::string lastStatus() const = 0;
};

// A reader that can say its source (Cursor's database) is unavailable.
class DatabaseReplyReader : public ReplyReader {
 public:
  virtual bool dbAvailable() const = 0;
};

// The window reader: also offers the latest candidate text, as partial reply.
class WindowReplyReader : public ReplyReader {
 public:
  virtual std::string lastReply() const = 0;
};

}  // namespace deskwave
