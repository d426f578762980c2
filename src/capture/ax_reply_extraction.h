#pragma once

// Reading a chat reply from the text of an application's windows: collecting
// the pieces of text its accessibility tree shows, finding the prompt that was
// sent among them, and keeping the text between it and the chat composer with
// the interface's own labels, times and status lines left out.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop.h"

namespace deskwave::ax_reply {

// Elements read per collection, over all windows together.
inline constexpr int kWalkBudget = 8000;
// The deepest level walked; a window is level 0.
inline constexpr int kMaxDepth = 70;

// The text of the item that stands for an editable input field (the place where
// the user types, such as the chat composer). It is never part of a reply.
inline constexpr std::string_view kComposerMarker = "\x01" "__DW_INPUT__";

// One piece of text on screen, at its element's top-left corner.
struct Item {
  std::string text;
  double y = 0;
  double x = 0;
  double w = 0;  // width; only set on input markers
  bool operator==(const Item&) const = default;
};

bool isInputMarker(const Item& item);
// The item for an editable field at (x, y) that is `width` wide.
Item inputMarker(double x, double y, double width);

// The pieces of text of an application's windows (of the application element
// itself when it lists none), in reading order: top to bottom, then left to
// right, when they span at least four rows, otherwise in tree order. Editable
// fields appear as input markers; a button or group whose description or value
// holds a long formatted text (see richBlob) appears as that one text.
std::vector<Item> collectItems(Desktop& desktop, const AXElement& application);

// The long formatted text a container carries in its description or value:
// trimmed, at least 30 characters, with a line break or a Markdown mark
// ("```", "* ", "- ", "# "). Absent when neither qualifies.
std::optional<std::string> richBlob(Desktop& desktop, const AXElement& element);

// The reply below the last appearance of `sentPrompt` and above the composer
// (the widest input marker, the lower of equally wide ones), within its column.
// Empty when the prompt is empty or cannot be found.
std::string extractReply(const std::vector<Item>& items, std::string_view sentPrompt);

// The lines without interface chrome: button labels, disclaimers, times, ages,
// status lines ("Searching files"), placeholders ("Ask anything") and repeats
// of kept lines that differ only in bullets, dashes or invisible characters.
// Kept lines are trimmed.
std::vector<std::string> stripChrome(const std::vector<std::string>& lines);

// Lower-cased, with every run of white space one blank, trimmed.
std::string normalize(std::string_view text);

// A one-line progress note whose first word is an "-ing" word of at least five
// characters and which has no sentence punctuation, e.g. "Searching files".
bool isStatusLine(std::string_view text);

// The form in which lines are compared for repeats: without bullets, asterisks,
// dashes, no-break and zero-width characters, then normalized.
std::string dedupKey(std::string_view text);

}  // namespace deskwave::ax_reply
