#include "ui/tool_picker.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QShowEvent>
#include <QToolButton>

namespace deskwave::ui {

// ---- FileDialogAppPicker ----

void FileDialogAppPicker::pickApplication(const AppPickRequest& request, Done done) {
  auto* dialog = new QFileDialog(parent_.data());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(qs(request.message));
  dialog->setLabelText(QFileDialog::Accept, qs(request.confirmLabel));
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::ExistingFile);
  QStringList patterns;
  for (const auto& p : request.filePatterns) patterns << qs(p);
  dialog->setNameFilter(qs(request.message) + QStringLiteral(" (") + patterns.join(' ') + QStringLiteral(")"));
  if (!request.startFolder.empty()) dialog->setDirectory(QString::fromStdString(request.startFolder.string()));

  // `done` runs once: on the answer, or with nothing if the dialog goes away.
  auto pending = std::make_shared<Done>(std::move(done));
  auto finish = [pending](std::optional<std::string> path) {
    if (!*pending) return;
    auto d = std::move(*pending);
    *pending = nullptr;
    d(std::move(path));
  };
  QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, finish](int result) {
    const auto files = dialog->selectedFiles();
    if (result == QDialog::Accepted && files.size() == 1 && QFileInfo(files.front()).isFile())
      finish(toStd(files.front()));
    else
      finish(std::nullopt);
  });
  QObject::connect(dialog, &QObject::destroyed, [finish] { finish(std::nullopt); });
  dialog->open();
  dialog->raise();
  dialog->activateWindow();
}

// ---- AIToolRow ----

AIToolRow::AIToolRow(const std::string& tool, bool isSelected, bool isManual, std::function<void()> onTap,
                     std::function<void()> onDelete, QWidget* parent)
    : QWidget(parent) {
  setObjectName(QStringLiteral("toolRow:") + qs(tool));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(2);
  tap_ = new QPushButton(qs(tool), this);
  tap_->setProperty("role", "row");
  tap_->setCursor(Qt::PointingHandCursor);
  const char* symbol = isSelected ? "checkmark.circle.fill" : "circle";
  tap_->setProperty("symbol", symbol);
  tap_->setIcon(tintedSymbol(symbol, isSelected ? toQColor(palette::online) : toQColor(palette::secondary), 16));
  tap_->setIconSize(QSize(16, 16));
  if (isManual) tap_->setToolTip(QStringLiteral("Added by you"));
  row->addWidget(tap_, 1);
  delete_ = new QToolButton(this);
  delete_->setIcon(tintedSymbol("xmark", toQColor(palette::secondary), 12));
  delete_->setIconSize(QSize(12, 12));
  delete_->setToolTip(QStringLiteral("Remove ") + qs(tool));
  delete_->setCursor(Qt::PointingHandCursor);
  row->addWidget(delete_);
  connect(tap_, &QPushButton::clicked, this, [onTap = std::move(onTap)] { onTap(); });
  connect(delete_, &QToolButton::clicked, this, [onDelete = std::move(onDelete)] { onDelete(); });
}

// ---- ToolPickerPanel ----

ToolPickerPanel::ToolPickerPanel(std::shared_ptr<AIToolStore> store, QWidget* parent)
    : QFrame(parent), store_(std::move(store)) {
  setObjectName("toolPickerPanel");
  setProperty("role", "panel");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(12, 8, 8, 10);
  column->setSpacing(6);

  auto* header = new QHBoxLayout;
  auto* heading = new QLabel(QStringLiteral("AI tools"), this);
  heading->setProperty("role", "secondary");
  selectAll_ = linkButton(QStringLiteral("Select all"), this);
  selectAll_->setObjectName("selectAllButton");
  add_ = new QToolButton(this);
  add_->setObjectName("addAppButton");
  add_->setIcon(tintedSymbol("plus.circle.fill", toQColor(palette::online), 18));
  add_->setIconSize(QSize(18, 18));
  add_->setToolTip(QStringLiteral("Add an app from your Applications folder"));
  add_->setCursor(Qt::PointingHandCursor);
  header->addWidget(heading);
  header->addStretch(1);
  header->addWidget(selectAll_);
  header->addWidget(add_);
  column->addLayout(header);

  pages_ = new QStackedWidget(this);
  auto* scanning = new QLabel(QStringLiteral("Scanning installed apps…"), pages_);
  scanning->setObjectName("scanningNote");
  scanning->setProperty("role", "secondary");
  scanning->setAlignment(Qt::AlignCenter);
  pages_->addWidget(scanning);

  auto* empty = new QWidget(pages_);
  auto* emptyColumn = new QVBoxLayout(empty);
  emptyColumn->addStretch(1);
  auto* none = new QLabel(QStringLiteral("No apps found — add one with +"), empty);
  none->setObjectName("emptyNote");
  none->setProperty("role", "secondary");
  none->setAlignment(Qt::AlignCenter);
  auto* retry = linkButton(QStringLiteral("Retry"), empty);
  retry->setObjectName("retryButton");
  emptyColumn->addWidget(none);
  emptyColumn->addWidget(retry, 0, Qt::AlignHCenter);
  emptyColumn->addStretch(1);
  pages_->addWidget(empty);

  auto* scroll = new QScrollArea(pages_);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  listHost_ = new QWidget(scroll);
  list_ = new QVBoxLayout(listHost_);
  list_->setContentsMargins(0, 0, 4, 0);
  list_->setSpacing(0);
  list_->addStretch(1);
  scroll->setWidget(listHost_);
  pages_->addWidget(scroll);
  column->addWidget(pages_, 1);

  connect(selectAll_, &QPushButton::clicked, this, [this] {
    if (store_->allSelected()) {
      store_->selected.set({});
    } else {
      const auto& tools = store_->tools.get();
      store_->selected.set(std::set<std::string>(tools.begin(), tools.end()));
    }
  });
  connect(add_, &QToolButton::clicked, this, [this] { store_->addApp(); });
  connect(retry, &QPushButton::clicked, this, [this] { store_->load({}, false); });

  observers_.observe(store_->loading, [this](bool) { rebuild(); });
  observers_.observe(store_->tools, [this](const std::vector<std::string>&) { rebuild(); });
  observers_.observe(store_->selected, [this](const std::set<std::string>&) { rebuild(); });
  observers_.observe(store_->manualSet, [this](const std::set<std::string>&) { rebuild(); });
  rebuild();
}

AIToolRow* ToolPickerPanel::row(const std::string& tool) const {
  for (const auto& [name, row] : rows_)
    if (name == tool) return row;
  return nullptr;
}

void ToolPickerPanel::rebuild() {
  selectAll_->setText(store_->allSelected() ? QStringLiteral("Deselect all") : QStringLiteral("Select all"));
  const auto& tools = store_->tools.get();
  selectAll_->setEnabled(!tools.empty());
  if (store_->loading.get()) {
    pages_->setCurrentIndex(0);
  } else if (tools.empty()) {
    pages_->setCurrentIndex(1);
  } else {
    pages_->setCurrentIndex(2);
  }
  // Rows are rebuilt as a whole; a row being clicked is removed only once its
  // click is over.
  for (auto& [name, row] : rows_) {
    row->hide();
    row->deleteLater();
  }
  rows_.clear();
  const auto& selected = store_->selected.get();
  const auto& manual = store_->manualSet.get();
  const std::weak_ptr<AIToolStore> weak = store_;
  int index = 0;
  for (const auto& tool : tools) {
    auto* row = new AIToolRow(
        tool, selected.count(tool) > 0, manual.count(tool) > 0,
        [weak, tool] {
          if (auto s = weak.lock()) s->toggle(tool);
        },
        [weak, tool] {
          if (auto s = weak.lock()) s->deleteTool(tool);
        },
        listHost_);
    list_->insertWidget(index++, row);
    rows_.emplace_back(tool, row);
  }
}

// ---- ToolPickerSheet ----

ToolPickerSheet::ToolPickerSheet(std::shared_ptr<AIToolStore> store, std::vector<std::string> previousTools,
                                 std::function<void(const std::vector<std::string>&)> onSave,
                                 std::function<void()> onCancel, QWidget* parent)
    : QWidget(parent), store_(std::move(store)), previous_(std::move(previousTools)) {
  setObjectName("toolPickerSheet");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);
  auto* title = new QLabel(QStringLiteral("Change AI Tools"), this);
  title->setProperty("role", "title");
  auto* subtitle = new QLabel(QStringLiteral("Your phone shows one tab for each tool you tick."), this);
  subtitle->setProperty("role", "secondary");
  subtitle->setWordWrap(true);
  column->addWidget(title);
  column->addWidget(subtitle);
  panel_ = new ToolPickerPanel(store_, this);
  column->addWidget(panel_, 1);
  auto* buttons = new QHBoxLayout;
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName("cancelButton");
  save_ = new BrandButton(QStringLiteral("Save"), this);
  save_->setObjectName("saveButton");
  buttons->addWidget(cancel);
  buttons->addStretch(1);
  buttons->addWidget(save_);
  column->addLayout(buttons);

  connect(cancel, &QPushButton::clicked, this, [onCancel = std::move(onCancel)] {
    if (onCancel) onCancel();
  });
  connect(save_, &QPushButton::clicked, this, [this, onSave = std::move(onSave)] {
    if (canConfirmSelection(*store_) && onSave) onSave(store_->selectedTools());
  });
  observers_.observe(store_->loading, [this](bool) { refresh(); });
  observers_.observe(store_->tools, [this](const std::vector<std::string>&) { refresh(); });
  observers_.observe(store_->selected, [this](const std::set<std::string>&) { refresh(); });
  refresh();
}

void ToolPickerSheet::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (loaded_) return;
  loaded_ = true;
  store_->load(previous_, false);
}

void ToolPickerSheet::refresh() { save_->setEnabled(canConfirmSelection(*store_)); }

bool canConfirmSelection(const AIToolStore& store) { return !store.loading.get() && !store.selectedTools().empty(); }

}  // namespace deskwave::ui
