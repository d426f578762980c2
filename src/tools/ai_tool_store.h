#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/observable.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"
#include "tools/app_picker.h"
#include "tools/app_scanner.h"

namespace deskwave {

// How an AIToolStore names and looks for applications picked by hand.
struct AIToolStoreOptions {
  // Where the add dialog opens.
  std::filesystem::path pickerStartFolder = "/usr/share/applications";
  // The name a picked application file goes by; empty when it has none.
  // Unset: the file name without its extension. The Linux desktop passes
  // applicationNameForFile, so that a picked desktop file is named by its
  // Name, as the scanner names it.
  std::function<std::string(const std::string& path)> appName;
};

// The AI tools offered in the tool picker: the relay's classification of the
// installed applications, combined with the previous selection and the user's
// own edits (tools added by hand, detected tools deleted by hand). Keeps which
// tools are ticked and persists the hand edits. Main thread only; a store lives
// as long as the view showing it.
class AIToolStore : public std::enable_shared_from_this<AIToolStore> {
 public:
  // String lists in the settings store, free of duplicates that differ only in case.
  static constexpr const char* manualKey = "deskwave.manualTools";    // added by hand
  static constexpr const char* removedKey = "deskwave.removedTools";  // detected, then deleted: stay hidden

  using Options = AIToolStoreOptions;

  // `scanner` may be null (no relay to ask): loads then list only the
  // previous and hand-added tools. `picker` may be null: addApp does nothing.
  static std::shared_ptr<AIToolStore> create(Runtime runtime, std::shared_ptr<SettingsStore> settings,
                                             std::shared_ptr<const AppScanner> scanner,
                                             std::shared_ptr<AppPicker> picker, Options options = {});

  Observable<bool> loading{true};                      // a load is running
  Observable<bool> failed{false};                      // the last load listed nothing
  Observable<std::vector<std::string>> tools;          // listed, in display order
  Observable<std::set<std::string>> selected;          // ticked
  Observable<std::set<std::string>> manualSet;         // listed tools added by hand

  // The listed tools that are ticked, in list order.
  std::vector<std::string> selectedTools() const;
  // Something is listed and every listed tool is ticked.
  bool allSelected() const;

  // Rebuilds the list: the relay's AI tools except deleted ones, then the names
  // of `previous` (the selection saved before) not deleted, then the hand-added
  // tools, each name once whatever its letter case. Ticks every listed tool
  // when `selectAll`, else the listed tools that `previous` names (in any
  // letter case). Scans in the background; the fields change and `done` runs
  // on the main thread when it is over. A failed scan does not fail the load:
  // the list is then built from the rest, and `lastScanError` says why.
  void load(std::vector<std::string> previous, bool selectAll, std::function<void()> done = {});
  // Why the last finished load's scan found nothing; nullopt when it worked.
  const std::optional<ScanError>& lastScanError() const { return lastScanError_; }
  // Ticks or unticks a tool.
  void toggle(const std::string& name);
  // Lets the user pick an application file and lists, ticks and remembers it as
  // added by hand (un-deleting it if it was deleted). Cancelling changes nothing.
  void addApp();
  // Takes a tool off the list: a hand-added one is forgotten, a detected one is
  // hidden from later scans.
  void deleteTool(const std::string& name);

 private:
  AIToolStore(Runtime runtime, std::shared_ptr<SettingsStore> settings, std::shared_ptr<const AppScanner> scanner,
              std::shared_ptr<AppPicker> picker, Options options);

  void finishLoad(const ScanResult& scan, const std::vector<std::string>& previous, bool selectAll);
  void addPicked(const std::string& path);

  Runtime runtime_;
  std::shared_ptr<SettingsStore> settings_;
  std::shared_ptr<const AppScanner> scanner_;
  std::shared_ptr<AppPicker> picker_;
  Options options_;

  std::uint64_t loadGeneration_ = 0;        // only the latest load's result is applied
  std::set<std::string> addedWhileLoading_;  // hand-added during the running load: stay ticked
  std::set<std::string> detectedFolded_;     // case-folded AI tools of the last successful scan
  std::optional<ScanError> lastScanError_;
};

}  // namespace deskwave
