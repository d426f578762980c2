#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"

// Accessibility of other applications through AT-SPI 2, the desktop's
// accessibility bus, in the names the desktop layer uses ("AXTextArea",
// "AXValue", …). Every failure yields an absent value; every call is bounded by
// a short method time-out, so an application that hangs cannot hang a caller.
// Calls are serialised: libatspi is process-wide and not made for concurrent use.
namespace deskwave::atspi {

// Connects to the accessibility bus; the reason when it does not answer.
std::optional<std::string> connect();

AXElement applicationElement(std::int32_t pid);
std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name);
std::vector<AXElement> elementsAttribute(const AXElement& element, const std::string& name);
std::optional<ScreenPoint> position(const AXElement& element);
std::optional<ScreenSize> size(const AXElement& element);
std::optional<bool> isValueSettable(const AXElement& element);
void setTrue(const AXElement& element, const std::string& name);
void press(const AXElement& element);
bool sameElement(const AXElement& a, const AXElement& b);
// The name the accessibility bus gives the application with this process id.
std::optional<std::string> applicationName(std::int32_t pid);

// The desktop layer's role name for an AT-SPI role; `multiLine` tells text
// areas from text fields.
std::string roleNameFor(int atspiRole, bool multiLine);

}  // namespace deskwave::atspi
