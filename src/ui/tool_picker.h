#pragma once

// Choosing the AI tools: the tool list with its rows, the sheet of the
// settings view, and the file dialog that adds an application by hand.
// Qt inside: for the interface's sources and tests only.

#include <QFrame>
#include <QPointer>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>
#include <memory>

#include "tools/ai_tool_store.h"
#include "tools/app_picker.h"
#include "ui/observer_scope.h"
#include "ui/ui_common.h"

namespace deskwave::ui {

// The desktop's "add an application" dialog: a file dialog over `parent`
// accepting one application file.
class FileDialogAppPicker final : public AppPicker {
 public:
  explicit FileDialogAppPicker(QWidget* parent) : parent_(parent) {}
  void pickApplication(const AppPickRequest& request, Done done) override;

 private:
  QPointer<QWidget> parent_;
};

// One tool: its tick, its name and a delete control.
class AIToolRow : public QWidget {
 public:
  AIToolRow(const std::string& tool, bool isSelected, bool isManual, std::function<void()> onTap,
            std::function<void()> onDelete, QWidget* parent = nullptr);
  QPushButton* tapTarget() const { return tap_; }
  QToolButton* deleteButton() const { return delete_; }

 private:
  QPushButton* tap_;
  QToolButton* delete_;
};

// The tool list of one store: "Select all", the add control, and the list
// (or the scanning / nothing-found notes).
class ToolPickerPanel : public QFrame {
 public:
  explicit ToolPickerPanel(std::shared_ptr<AIToolStore> store, QWidget* parent = nullptr);

  QPushButton* selectAllButton() const { return selectAll_; }
  QToolButton* addButton() const { return add_; }
  // The row of a listed tool, or null.
  AIToolRow* row(const std::string& tool) const;

 private:
  void rebuild();

  std::shared_ptr<AIToolStore> store_;
  ObserverScope observers_;
  QPushButton* selectAll_;
  QToolButton* add_;
  QStackedWidget* pages_;
  QWidget* listHost_;
  QVBoxLayout* list_;
  std::vector<std::pair<std::string, AIToolRow*>> rows_;
};

// The settings view's tool picker: its own store loaded with the previous
// selection, and "Save".
class ToolPickerSheet : public QWidget {
 public:
  ToolPickerSheet(std::shared_ptr<AIToolStore> store, std::vector<std::string> previousTools,
                  std::function<void(const std::vector<std::string>&)> onSave, std::function<void()> onCancel,
                  QWidget* parent = nullptr);

  QPushButton* saveButton() const { return save_; }
  ToolPickerPanel* panel() const { return panel_; }
  const std::shared_ptr<AIToolStore>& store() const { return store_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void refresh();

  std::shared_ptr<AIToolStore> store_;
  std::vector<std::string> previous_;
  bool loaded_ = false;
  ObserverScope observers_;
  ToolPickerPanel* panel_;
  BrandButton* save_;
};

// Both "Continue" and "Save": enabled exactly when the store is not loading and
// something is ticked.
bool canConfirmSelection(const AIToolStore& store);

}  // namespace deskwave::ui
