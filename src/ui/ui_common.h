#pragma once

// Shared pieces of the Qt views: colours, symbols, the brand mark, the style
// sheet, the button and switch styles and the connection status row. Qt
// inside: included by the interface's own sources and its tests only.

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <string_view>

#include "ui/bridge_facade.h"
#include "ui/observer_scope.h"
#include "ui/palette.h"

class QTimer;

namespace deskwave::ui {

QColor toQColor(Rgb c);
inline QString qs(const std::string& s) { return QString::fromStdString(s); }
inline std::string toStd(const QString& s) { return s.toStdString(); }

// Makes the freedesktop icon theme usable when the desktop names none.
void prepareIconTheme();

// The freedesktop theme icon closest to a system symbol name ("wifi",
// "pause.fill", "checkmark.circle.fill", …), else a standard icon of the style.
QIcon symbolIcon(std::string_view symbol);
// The symbol as a one-colour glyph (theme icons drawn in `colour`), `size`
// logical pixels square, sharp on screens with a larger pixel ratio.
QIcon tintedSymbol(std::string_view symbol, const QColor& colour, int size = 16);
// A label showing a tinted symbol; its "symbol" property names it.
QLabel* symbolLabel(std::string_view symbol, const QColor& colour, int size, QWidget* parent);
void setSymbol(QLabel* label, std::string_view symbol, const QColor& colour, int size);

// The "DW" mark: a circle with the two letters, drawn in `colour` on an
// 18 × 18 grid scaled to `size` logical pixels at `devicePixelRatio`.
QPixmap drawDWMark(const QColor& colour, int size, qreal devicePixelRatio);
// The mark at the usual tray sizes, drawn in `colour`, flagged as a mask so
// that themes may recolour it.
QIcon dwMarkIcon(const QColor& colour);

// The set-up window's style sheet, built from the palette.
QString setupStyleSheet();

// A primary button that can show a spinning busy indicator in place of its title.
class BrandButton : public QPushButton {
 public:
  explicit BrandButton(const QString& title, QWidget* parent = nullptr);
  void setBusy(bool busy);
  // Changes the title, also while busy (shown once the work is over).
  void setTitle(const QString& title);
  bool isBusy() const { return busy_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool busy_ = false;
  int angle_ = 0;
  QTimer* spin_ = nullptr;
  QString title_;
};

// An on/off switch.
class Switch : public QAbstractButton {
 public:
  explicit Switch(QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A flat text button in the link colour.
QPushButton* linkButton(const QString& title, QWidget* parent = nullptr);

// A word-wrapped label; `role` (may be null) selects its style in the style sheet.
QLabel* textLabel(const QString& text, const char* role, QWidget* parent);

// Coloured dot, "Paused" / "Online" / "Offline" and the link symbol; follows
// the bridge's observables. Text in the surrounding palette's colour.
class StatusRow : public QWidget {
 public:
  StatusRow(std::shared_ptr<const BridgeFacade> bridge, QWidget* parent = nullptr);
  void refresh();

  QLabel* label() const { return label_; }
  // The symbol shown ("wifi", "globe", or empty).
  QString symbol() const;

 private:
  std::shared_ptr<const BridgeFacade> bridge_;
  QLabel* dot_;
  QLabel* label_;
  QLabel* symbol_;
  ObserverScope observers_;
};

// The brand header: the mark and the name.
QWidget* brandHeader(QWidget* parent = nullptr);

}  // namespace deskwave::ui
