#include "tools/ai_tool_store.h"

#include <algorithm>

#include "platform/text.h"

namespace deskwave {
namespace {

// The file name without its extension ("/opt/Cursor.AppImage" → "Cursor").
std::string fileStem(const std::string& path) {
  auto p = std::filesystem::path(path);
  if (!p.has_filename()) p = p.parent_path();  // "…/Tool.app/"
  return p.stem().string();
}

bool containsIgnoringCase(const std::vector<std::string>& names, const std::string& name) {
  const auto folded = caseFolded(name);
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return caseFolded(n) == folded; });
}

// The listed spelling of `name`, ignoring case; empty when it is not listed.
std::string listedSpelling(const std::vector<std::string>& names, const std::string& name) {
  const auto folded = caseFolded(name);
  for (const auto& n : names)
    if (caseFolded(n) == folded) return n;
  return {};
}

}  // namespace

std::shared_ptr<AIToolStore> AIToolStore::create(Runtime runtime, std::shared_ptr<SettingsStore> settings,
                                                 std::shared_ptr<const AppScanner> scanner,
                                                 std::shared_ptr<AppPicker> picker, Options options) {
  return std::shared_ptr<AIToolStore>(
      new AIToolStore(std::move(runtime), std::move(settings), std::move(scanner), std::move(picker), std::move(options)));
}

AIToolStore::AIToolStore(Runtime runtime, std::shared_ptr<SettingsStore> settings,
                         std::shared_ptr<const AppScanner> scanner, std::shared_ptr<AppPicker> picker,
                         Options options)
    : runtime_(std::move(runtime)), settings_(std::move(settings)), scanner_(std::move(scanner)),
      picker_(std::move(picker)), options_(std::move(options)) {
  if (!options_.appName) options_.appName = fileStem;
}

std::vector<std::string> AIToolStore::selectedTools() const {
  std::vector<std::string> out;
  for (const auto& tool : tools.get())
    if (selected.get().count(tool)) out.push_back(tool);
  return out;
}

bool AIToolStore::allSelected() const {
  return !tools.get().empty() && selected.get().size() == tools.get().size();
}

void AIToolStore::load(std::vector<std::string> previous, bool selectAll, std::function<void()> done) {
  const auto generation = ++loadGeneration_;
  addedWhileLoading_.clear();
  loading.set(true);
  failed.set(false);
  const auto manual = settings_->getStringList(manualKey);
  manualSet.set({manual.begin(), manual.end()});

  auto finish = [weak = weak_from_this(), generation, previous = std::move(previous), selectAll,
                 done = std::move(done)](ScanResult scan) {
    auto self = weak.lock();
    if (!self) return;
    if (generation == self->loadGeneration_) self->finishLoad(scan, previous, selectAll);
    if (done) done();
  };
  if (!scanner_) {
    runtime_.main->post([finish = std::move(finish)] { finish({{}, ScanError::apiFailure(-1)}); });
    return;
  }
  // Listing the installed applications reads many files: not on the main thread.
  runtime_.userInitiated->post([scanner = scanner_, main = runtime_.main, finish = std::move(finish)]() mutable {
    scanner->detectAITools(main, std::move(finish));
  });
}

void AIToolStore::finishLoad(const ScanResult& scan, const std::vector<std::string>& previous, bool selectAll) {
  // The lists are read now rather than when the load began, so that edits made
  // while the scan ran are not undone by its result.
  const auto manual = settings_->getStringList(manualKey);
  std::set<std::string> removed;
  for (const auto& name : settings_->getStringList(removedKey)) removed.insert(caseFolded(name));

  std::vector<std::string> result;
  std::set<std::string> listed;  // case-folded
  const auto append = [&](const std::string& name) {
    if (listed.insert(caseFolded(name)).second) result.push_back(name);
  };
  lastScanError_ = scan.error;
  if (!scan.error) {
    detectedFolded_.clear();
    for (const auto& name : scan.tools) {
      detectedFolded_.insert(caseFolded(name));
      if (!removed.count(caseFolded(name))) append(name);
    }
  }
  for (const auto& name : previous)
    if (!removed.count(caseFolded(name))) append(name);
  for (const auto& name : manual) append(name);  // a hand-added tool is never hidden

  std::set<std::string> ticked;
  if (selectAll) {
    ticked.insert(result.begin(), result.end());
  } else {
    // Ticked as listed: a tool chosen as "cursor" stays ticked when the relay now reports "Cursor".
    const auto tick = [&](const std::string& name) {
      if (auto spelling = listedSpelling(result, name); !spelling.empty()) ticked.insert(std::move(spelling));
    };
    std::for_each(previous.begin(), previous.end(), tick);
    std::for_each(addedWhileLoading_.begin(), addedWhileLoading_.end(), tick);
  }
  addedWhileLoading_.clear();

  manualSet.set({manual.begin(), manual.end()});
  tools.set(std::move(result));
  selected.set(std::move(ticked));
  loading.set(false);
  failed.set(tools.get().empty());
}

void AIToolStore::toggle(const std::string& name) {
  auto ticked = selected.get();
  if (!ticked.erase(name)) ticked.insert(name);
  selected.set(std::move(ticked));
}

void AIToolStore::addApp() {
  if (!picker_) return;
  AppPickRequest request;
  request.startFolder = options_.pickerStartFolder;
  picker_->pickApplication(request, [weak = weak_from_this(), main = runtime_.main](std::optional<std::string> path) {
    if (!path || path->empty()) return;
    main->post([weak, path = std::move(*path)] {
      if (auto self = weak.lock()) self->addPicked(path);
    });
  });
}

void AIToolStore::addPicked(const std::string& path) {
  const auto name = options_.appName(path);
  if (name.empty()) return;

  auto manual = settings_->getStringList(manualKey);
  if (!containsIgnoringCase(manual, name)) manual.push_back(name);
  settings_->setStringList(manualKey, manual);
  auto removed = settings_->getStringList(removedKey);
  std::erase_if(removed, [&](const std::string& n) { return equalIgnoringCase(n, name); });
  settings_->setStringList(removedKey, removed);
  settings_->flush();

  auto hand = manualSet.get();
  hand.insert(name);
  manualSet.set(std::move(hand));
  auto listed = tools.get();
  auto spelling = listedSpelling(listed, name);
  if (spelling.empty()) {
    listed.push_back(name);
    spelling = name;
  }
  tools.set(std::move(listed));
  // Tick the name as listed: a tool already shown as "Cursor" is ticked when "cursor" is added.
  auto ticked = selected.get();
  ticked.insert(spelling);
  selected.set(std::move(ticked));
  failed.set(false);
  if (loading.get()) addedWhileLoading_.insert(name);
}

void AIToolStore::deleteTool(const std::string& name) {
  auto listed = tools.get();
  std::erase(listed, name);
  tools.set(std::move(listed));
  auto ticked = selected.get();
  ticked.erase(name);
  selected.set(std::move(ticked));

  auto manual = settings_->getStringList(manualKey);
  const bool handAdded = manualSet.get().count(name) || containsIgnoringCase(manual, name);
  if (handAdded) {
    auto hand = manualSet.get();
    std::erase_if(hand, [&](const std::string& n) { return equalIgnoringCase(n, name); });
    manualSet.set(std::move(hand));
    std::erase_if(manual, [&](const std::string& n) { return equalIgnoringCase(n, name); });
    settings_->setStringList(manualKey, manual);
  }
  // A detected tool is hidden from later scans; so is a hand-added one that the
  // relay also reports, or it would come back with the next scan.
  if (!handAdded || detectedFolded_.count(caseFolded(name))) {
    auto removed = settings_->getStringList(removedKey);
    if (!containsIgnoringCase(removed, name)) removed.push_back(name);
    settings_->setStringList(removedKey, removed);
  }
  settings_->flush();
}

}  // namespace deskwave
