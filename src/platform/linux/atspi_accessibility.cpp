#include "platform/linux/atspi_accessibility.h"

#include <atspi/atspi.h>

#include <mutex>

namespace deskwave::atspi {
namespace {

// One method call may take this long before it counts as failed.
constexpr int kMethodTimeoutMs = 300;

std::mutex& busMutex() {
  static std::mutex mutex;
  return mutex;
}

// Owns one reference to an accessible object.
class AtspiElement final : public AXElementHandle {
 public:
  explicit AtspiElement(AtspiAccessible* object) : object(object) {}
  ~AtspiElement() override { g_object_unref(object); }
  AtspiElement(const AtspiElement&) = delete;
  AtspiElement& operator=(const AtspiElement&) = delete;
  AtspiAccessible* const object;
};

AtspiAccessible* objectOf(const AXElement& element) {
  const auto* e = dynamic_cast<const AtspiElement*>(element.get());
  return e ? e->object : nullptr;
}

AXElement wrap(AtspiAccessible* object) {
  if (!object) return nullptr;
  return std::make_shared<AtspiElement>(object);
}

// Takes a string libatspi allocated; absent on error.
std::optional<std::string> take(gchar* text, GError* error) {
  if (error) {
    g_error_free(error);
    g_free(text);
    return std::nullopt;
  }
  if (!text) return std::nullopt;
  std::string out(text);
  g_free(text);
  return out;
}

// Dispatches what the bus has queued (signals libatspi listens to), so that
// nothing piles up in a process that never runs a GLib main loop of its own.
void drainQueuedMessages() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

bool hasState(AtspiAccessible* object, AtspiStateType state, bool* readable = nullptr) {
  AtspiStateSet* set = atspi_accessible_get_state_set(object);
  if (readable) *readable = set != nullptr;
  if (!set) return false;
  const bool found = atspi_state_set_contains(set, state);
  g_object_unref(set);
  return found;
}

std::optional<std::string> roleOf(AtspiAccessible* object) {
  GError* error = nullptr;
  const AtspiRole role = atspi_accessible_get_role(object, &error);
  if (error) {
    g_error_free(error);
    return std::nullopt;
  }
  // Only text roles depend on the multi-line state: ask the bus for it only then.
  const bool textRole = role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_PASSWORD_TEXT ||
                        role == ATSPI_ROLE_EDITBAR || role == ATSPI_ROLE_TERMINAL;
  return roleNameFor(role, textRole && hasState(object, ATSPI_STATE_MULTI_LINE));
}

// The whole text of an element with the text interface, without the
// placeholders that stand for embedded objects.
std::optional<std::string> textOf(AtspiAccessible* object) {
  AtspiText* text = atspi_accessible_get_text_iface(object);
  if (!text) return std::nullopt;
  GError* error = nullptr;
  auto out = take(atspi_text_get_text(text, 0, -1, &error), error);  // -1: to the end
  g_object_unref(text);
  if (!out) return std::nullopt;
  static constexpr std::string_view kObjectReplacement = "\xEF\xBF\xBC";  // U+FFFC
  for (auto at = out->find(kObjectReplacement); at != std::string::npos; at = out->find(kObjectReplacement, at))
    out->erase(at, kObjectReplacement.size());
  return out;
}

std::optional<std::string> placeholderOf(AtspiAccessible* object) {
  GError* error = nullptr;
  GHashTable* attributes = atspi_accessible_get_attributes(object, &error);
  if (error) {
    g_error_free(error);
    return std::nullopt;
  }
  if (!attributes) return std::nullopt;
  std::optional<std::string> out;
  if (const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes, "placeholder-text"))) out = value;
  g_hash_table_unref(attributes);
  return out;
}

std::optional<AtspiRect> extentsOf(AtspiAccessible* object) {
  AtspiComponent* component = atspi_accessible_get_component_iface(object);
  if (!component) return std::nullopt;
  GError* error = nullptr;
  AtspiRect* rect = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
  g_object_unref(component);
  if (error) {
    g_error_free(error);
    g_free(rect);
    return std::nullopt;
  }
  if (!rect) return std::nullopt;
  const AtspiRect out = *rect;
  g_free(rect);
  if (out.width < 0 || out.height < 0) return std::nullopt;  // "no extents" in some toolkits
  return out;
}

std::vector<AXElement> childrenOf(AtspiAccessible* object) {
  GError* error = nullptr;
  const gint count = atspi_accessible_get_child_count(object, &error);
  if (error) {
    g_error_free(error);
    return {};
  }
  std::vector<AXElement> children;
  for (gint i = 0; i < count; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, &error);
    if (error) {
      g_error_free(error);
      error = nullptr;
      continue;
    }
    if (auto e = wrap(child)) children.push_back(std::move(e));
  }
  return children;
}

AtspiAccessible* findApplication(std::int32_t pid) {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) return nullptr;
  AtspiAccessible* found = nullptr;
  GError* error = nullptr;
  const gint count = atspi_accessible_get_child_count(desktop, &error);
  if (error) g_error_free(error);
  for (gint i = 0; i < count && !found; ++i) {
    error = nullptr;
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &error);
    if (error) {
      g_error_free(error);
      continue;
    }
    if (!app) continue;
    const guint appPid = atspi_accessible_get_process_id(app, &error);
    if (!error && static_cast<std::int32_t>(appPid) == pid) found = app;
    else g_object_unref(app);
    if (error) g_error_free(error);
  }
  g_object_unref(desktop);
  return found;
}

}  // namespace

std::string roleNameFor(int atspiRole, bool multiLine) {
  switch (static_cast<AtspiRole>(atspiRole)) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_EDITBAR:
    case ATSPI_ROLE_TERMINAL:
      return multiLine ? ax::kTextArea : ax::kTextField;
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
      return ax::kButton;
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_CAPTION:
      return ax::kStaticText;
    case ATSPI_ROLE_HEADING:
      return ax::kHeading;
    case ATSPI_ROLE_LINK:
      return ax::kLink;
    case ATSPI_ROLE_TABLE_CELL:
      return ax::kCell;
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_GROUPING:
      return ax::kGroup;
    case ATSPI_ROLE_COMBO_BOX:
      return ax::kComboBox;
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
      return ax::kWindow;
    case ATSPI_ROLE_APPLICATION:
      return "AXApplication";
    case ATSPI_ROLE_SCROLL_PANE:
      return "AXScrollArea";
    case ATSPI_ROLE_LIST:
      return "AXList";
    case ATSPI_ROLE_LIST_ITEM:
      return "AXGroup";
    case ATSPI_ROLE_IMAGE:
      return "AXImage";
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
      return "AXWebArea";
    default:
      return "AXUnknown";
  }
}

std::optional<std::string> connect() {
  std::lock_guard lock(busMutex());
  static const int initialised = atspi_init();  // 0 on success, 1 when already done
  if (initialised > 1) return "the accessibility library could not start";
  atspi_set_timeout(kMethodTimeoutMs, kMethodTimeoutMs);
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) return "the accessibility bus does not answer";
  GError* error = nullptr;
  atspi_accessible_get_child_count(desktop, &error);
  g_object_unref(desktop);
  if (error) {
    std::string reason = std::string("the accessibility bus does not answer: ") + error->message;
    g_error_free(error);
    return reason;
  }
  return std::nullopt;
}

AXElement applicationElement(std::int32_t pid) {
  std::lock_guard lock(busMutex());
  drainQueuedMessages();
  return wrap(findApplication(pid));
}

std::optional<std::string> applicationName(std::int32_t pid) {
  std::lock_guard lock(busMutex());
  AtspiAccessible* app = findApplication(pid);
  if (!app) return std::nullopt;
  GError* error = nullptr;
  auto name = take(atspi_accessible_get_name(app, &error), error);
  g_object_unref(app);
  if (name && name->empty()) return std::nullopt;
  return name;
}

std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name) {
  AtspiAccessible* object = objectOf(element);
  if (!object) return std::nullopt;
  std::lock_guard lock(busMutex());
  GError* error = nullptr;
  if (name == ax::kRole) return roleOf(object);
  if (name == ax::kValue) return textOf(object);
  if (name == ax::kTitle) return take(atspi_accessible_get_name(object, &error), error);
  if (name == ax::kDescription) return take(atspi_accessible_get_description(object, &error), error);
  if (name == ax::kPlaceholderValue) return placeholderOf(object);
  return std::nullopt;
}

std::vector<AXElement> elementsAttribute(const AXElement& element, const std::string& name) {
  AtspiAccessible* object = objectOf(element);
  if (!object) return {};
  // Windows are an application's children; AT-SPI has no separate
  // navigation order or contents lists.
  if (name != ax::kWindows && name != ax::kChildren) return {};
  std::lock_guard lock(busMutex());
  return childrenOf(object);
}

std::optional<ScreenPoint> position(const AXElement& element) {
  AtspiAccessible* object = objectOf(element);
  if (!object) return std::nullopt;
  std::lock_guard lock(busMutex());
  const auto rect = extentsOf(object);
  if (!rect) return std::nullopt;
  return ScreenPoint{static_cast<double>(rect->x), static_cast<double>(rect->y)};
}

std::optional<ScreenSize> size(const AXElement& element) {
  AtspiAccessible* object = objectOf(element);
  if (!object) return std::nullopt;
  std::lock_guard lock(busMutex());
  const auto rect = extentsOf(object);
  if (!rect) return std::nullopt;
  return ScreenSize{static_cast<double>(rect->width), static_cast<double>(rect->height)};
}

std::optional<bool> isValueSettable(const AXElement& element) {
  AtspiAccessible* object = objectOf(element);
  if (!object) return std::nullopt;
  std::lock_guard lock(busMutex());
  bool readable = false;
  const bool editable = hasState(object, ATSPI_STATE_EDITABLE, &readable);
  if (!readable) return std::nullopt;
  return editable;
}

void setTrue(const AXElement& element, const std::string& name) {
  // Exposing the whole tree needs nothing here: AT-SPI shows it whenever
  // accessibility is on.
  if (name != ax::kFocused) return;
  AtspiAccessible* object = objectOf(element);
  if (!object) return;
  std::lock_guard lock(busMutex());
  AtspiComponent* component = atspi_accessible_get_component_iface(object);
  if (!component) return;
  GError* error = nullptr;
  atspi_component_grab_focus(component, &error);
  if (error) g_error_free(error);
  g_object_unref(component);
}

void press(const AXElement& element) {
  AtspiAccessible* object = objectOf(element);
  if (!object) return;
  std::lock_guard lock(busMutex());
  AtspiAction* action = atspi_accessible_get_action_iface(object);
  if (!action) return;
  GError* error = nullptr;
  const gint count = atspi_action_get_n_actions(action, &error);
  if (error) {
    g_error_free(error);
    g_object_unref(action);
    return;
  }
  for (gint i = 0; i < count; ++i) {
    error = nullptr;
    const auto name = take(atspi_action_get_action_name(action, i, &error), error);
    if (!name || (*name != "click" && *name != "press" && *name != "activate")) continue;
    error = nullptr;
    atspi_action_do_action(action, i, &error);
    if (error) g_error_free(error);
    break;
  }
  g_object_unref(action);
}

bool sameElement(const AXElement& a, const AXElement& b) {
  AtspiAccessible* x = objectOf(a);
  AtspiAccessible* y = objectOf(b);
  if (!x || !y) return false;
  if (x == y) return true;
  std::lock_guard lock(busMutex());
  const auto* ox = ATSPI_OBJECT(x);
  const auto* oy = ATSPI_OBJECT(y);
  if (!ox->app || !oy->app || !ox->path || !oy->path || !ox->app->bus_name || !oy->app->bus_name) return false;
  return g_strcmp0(ox->path, oy->path) == 0 && g_strcmp0(ox->app->bus_name, oy->app->bus_name) == 0;
}

}  // namespace deskwave::atspi
