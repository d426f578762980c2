#pragma once

#include <memory>
#include <optional>
#include <string>

namespace deskwave {

// The X11 CLIPBOARD selection, owned and served by this process.
//
// It has its own connection to the X server and a thread of its own that
// answers other applications' requests for what it holds, so a paste works
// whatever the caller's threads are doing. Text is offered as UTF8_STRING,
// "text/plain;charset=utf-8", "text/plain" and STRING (ISO Latin-1: characters
// beyond it become '?'); an image as "image/png"; with TARGETS and TIMESTAMP
// for both. Data over 256 KiB goes out incrementally (INCR), one piece
// whenever the requestor has taken the previous one, without holding up other
// requests; MULTIPLE is refused.
// When another application copies something, what this process held is
// dropped.
//
// Every method may be called from any thread and returns once the clipboard
// thread has done the work: the selection is really owned or released when
// setText or clear returns. Nothing throws; failures leave the clipboard as it
// was, and after the X connection is lost every call does nothing.
class X11Clipboard {
 public:
  // Connects to `displayName` (empty: $DISPLAY). Null when that fails, with the
  // reason in `whyNot` (when not null).
  static std::unique_ptr<X11Clipboard> open(std::string* whyNot, const std::string& displayName = {});

  // Releases the selection (if still held), stops the thread and disconnects.
  ~X11Clipboard();
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  // Takes the selection with this text (UTF-8).
  void setText(const std::string& utf8);
  // Takes the selection with this PNG image.
  void setImagePng(std::string pngBytes);
  // Gives up what this process holds: afterwards it serves nothing, and if it
  // still owned the selection the selection has no owner. Another
  // application's copy made meanwhile stays.
  void clear();
  // The clipboard's plain text as UTF-8: this process's own text while it owns
  // the selection, otherwise the owner's, asked for as UTF8_STRING and then as
  // STRING. Absent when there is no owner or it offers no text, and when it
  // does not answer within about half a second; sending in pieces, it may
  // pause that long between two and take 5 seconds in all. Text beyond 64 MiB
  // is not read.
  std::optional<std::string> text();

 private:
  struct Impl;
  explicit X11Clipboard(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace deskwave
