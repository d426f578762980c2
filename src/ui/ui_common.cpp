#include "ui/ui_common.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <map>
#include <vector>

namespace deskwave::ui {
namespace {

struct SymbolChoice {
  std::vector<const char*> themeNames;  // tried in order, "-symbolic" first
  QStyle::StandardPixmap fallback;
};

// System symbol names and the freedesktop icons closest to them.
const std::map<std::string_view, SymbolChoice>& symbolTable() {
  static const std::map<std::string_view, SymbolChoice> table = {
      {"wifi",
       {{"network-wireless-symbolic", "network-wireless-signal-excellent-symbolic", "network-wireless"},
        QStyle::SP_DriveNetIcon}},
      {"globe",
       {{"web-browser-symbolic", "network-workgroup-symbolic", "applications-internet"}, QStyle::SP_DriveNetIcon}},
      {"pause.fill", {{"media-playback-pause-symbolic", "media-playback-pause"}, QStyle::SP_MediaPause}},
      {"play.fill", {{"media-playback-start-symbolic", "media-playback-start"}, QStyle::SP_MediaPlay}},
      {"gearshape.fill",
       {{"emblem-system-symbolic", "preferences-system-symbolic", "preferences-system"}, QStyle::SP_ComputerIcon}},
      {"power",
       {{"system-shutdown-symbolic", "application-exit-symbolic", "application-exit"}, QStyle::SP_DialogCloseButton}},
      {"envelope", {{"mail-unread-symbolic", "mail-message-new-symbolic", "mail-unread"}, QStyle::SP_FileIcon}},
      {"lock",
       {{"changes-prevent-symbolic", "system-lock-screen-symbolic", "dialog-password"}, QStyle::SP_FileDialogInfoView}},
      {"eye", {{"view-reveal-symbolic", "view-reveal"}, QStyle::SP_FileDialogContentsView}},
      {"eye.slash", {{"view-conceal-symbolic", "view-conceal"}, QStyle::SP_FileDialogListView}},
      {"checkmark.circle.fill",
       {{"emblem-ok-symbolic", "object-select-symbolic", "emblem-default"}, QStyle::SP_DialogApplyButton}},
      {"circle", {{"radio-symbolic", "radio"}, QStyle::SP_DialogNoButton}},
      {"xmark.circle.fill",
       {{"process-stop-symbolic", "dialog-error-symbolic", "window-close"}, QStyle::SP_DialogCancelButton}},
      {"xmark", {{"window-close-symbolic", "edit-delete-symbolic", "window-close"}, QStyle::SP_TitleBarCloseButton}},
      {"number",
       {{"input-dialpad-symbolic", "accessories-calculator-symbolic", "accessories-calculator"},
        QStyle::SP_FileDialogDetailedView}},
      {"chevron.left", {{"go-previous-symbolic", "go-previous"}, QStyle::SP_ArrowLeft}},
      {"chevron.right", {{"go-next-symbolic", "go-next"}, QStyle::SP_ArrowRight}},
      {"plus.circle.fill", {{"list-add-symbolic", "list-add"}, QStyle::SP_FileDialogNewFolder}},
      {"person.crop.circle.fill",
       {{"avatar-default-symbolic", "user-info-symbolic", "avatar-default"}, QStyle::SP_DirHomeIcon}},
      {"square.grid.2x2.fill",
       {{"view-app-grid-symbolic", "view-grid-symbolic", "applications-other"}, QStyle::SP_FileDialogListView}},
      {"bolt.fill",
       {{"battery-full-charging-symbolic", "weather-storm-symbolic", "battery-full-charging"},
        QStyle::SP_BrowserReload}},
  };
  return table;
}

QString css(Rgb c) { return toQColor(c).name(); }

}  // namespace

QColor toQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

void prepareIconTheme() {
  // Without a desktop's own theme Qt looks in "hicolor", which has almost no
  // action icons; Adwaita is the theme Debian installs with GTK.
  const QString current = QIcon::themeName();
  if (current.isEmpty() || current == "hicolor") {
    for (const auto& dir : QIcon::themeSearchPaths()) {
      if (QDir(dir + "/Adwaita").exists()) {
        QIcon::setThemeName("Adwaita");
        return;
      }
    }
  }
  if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == "hicolor")
    QIcon::setFallbackThemeName("Adwaita");
}

QIcon symbolIcon(std::string_view symbol) {
  const auto& table = symbolTable();
  const auto it = table.find(symbol);
  if (it == table.end()) return {};
  for (const char* name : it->second.themeNames) {
    QIcon icon = QIcon::fromTheme(QString::fromLatin1(name));
    if (!icon.isNull()) return icon;
  }
  return QApplication::style()->standardIcon(it->second.fallback);
}

QIcon tintedSymbol(std::string_view symbol, const QColor& colour, int size) {
  const QIcon source = symbolIcon(symbol);
  if (source.isNull()) return {};
  QIcon out;
  for (qreal dpr : {1.0, 2.0}) {
    const int px = qRound(size * dpr);
    QImage image = source.pixmap(QSize(px, px)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.size() != QSize(px, px)) image = image.scaled(px, px, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), colour);
    p.end();
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(dpr);
    out.addPixmap(pixmap);
  }
  return out;
}

void setSymbol(QLabel* label, std::string_view symbol, const QColor& colour, int size) {
  label->setProperty("symbol", QString::fromUtf8(symbol.data(), static_cast<int>(symbol.size())));
  if (symbol.empty()) {
    label->clear();
    return;
  }
  const qreal dpr = label->devicePixelRatioF();
  label->setPixmap(tintedSymbol(symbol, colour, size).pixmap(QSize(size, size), dpr));
}

QLabel* symbolLabel(std::string_view symbol, const QColor& colour, int size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFixedSize(size, size);
  setSymbol(label, symbol, colour, size);
  return label;
}

QPixmap drawDWMark(const QColor& colour, int size, qreal devicePixelRatio) {
  const int px = qMax(1, qRound(size * devicePixelRatio));
  QImage image(px, px, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  // 72 dots per inch: one point is one pixel of the 18 × 18 grid.
  image.setDotsPerMeterX(2835);
  image.setDotsPerMeterY(2835);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.scale(px / 18.0, px / 18.0);
  p.setPen(QPen(colour, 0.9));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(0.9, 0.9, 16.2, 16.2));

  QFont font("Helvetica");
  font.setBold(true);
  font.setPointSizeF(7.8);
  if (!QFontInfo(font).exactMatch()) {
    font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setBold(true);
    font.setPointSizeF(7.8);
  }
  p.setFont(font);
  p.drawText(QRectF(0, 0, 18, 18), Qt::AlignCenter, QStringLiteral("DW"));
  p.end();
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

QIcon dwMarkIcon(const QColor& colour) {
  QIcon icon;
  // Drawn large and scaled down by the panel, sharp at any tray size.
  for (int size : {16, 18, 22, 24, 32, 48, 64}) icon.addPixmap(drawDWMark(colour, size, 1.0));
  for (int size : {16, 18, 22, 24}) icon.addPixmap(drawDWMark(colour, size, 2.0));
  icon.setIsMask(true);
  return icon;
}

QString setupStyleSheet() {
  using namespace palette;
  const std::pair<const char*, Rgb> colours[] = {
      {"background", background},   {"selector", selector},       {"text", text},           {"secondary", secondary},
      {"inputBorder", inputBorder}, {"panelBorder", panelBorder}, {"linkGreen", linkGreen}, {"inputIcon", inputIcon},
      {"online", online},           {"paused", paused},           {"danger", danger}};
  QString sheet = QStringLiteral(R"(
#setupWindow { background: {background}; }
#setupWindow QWidget { color: {text}; font-size: 13px; }
#setupWindow QLabel[role="title"] { font-size: 20px; font-weight: 600; }
#setupWindow QLabel[role="brand"] { font-size: 22px; font-weight: 600; }
#setupWindow QLabel[role="secondary"] { color: {secondary}; }
#setupWindow QLabel[role="danger"] { color: {danger}; }
#setupWindow QLabel[role="rule"] { color: {secondary}; font-size: 12px; }
#setupWindow QFrame[role="field"] { background: {selector}; border: 1px solid {inputBorder}; border-radius: 8px; }
#setupWindow QFrame[role="panel"] { background: {selector}; border: 1px solid {panelBorder}; border-radius: 10px; }
#setupWindow QFrame[role="card"] { background: {background}; border: 1px solid {panelBorder}; border-radius: 12px; }
#setupWindow QLineEdit { background: transparent; border: none; padding: 7px 2px; selection-background-color: {linkGreen}; }
#setupWindow QLineEdit:read-only { color: {secondary}; }
#setupWindow QPushButton { border: none; border-radius: 8px; padding: 8px 14px; background: {selector}; }
#setupWindow QPushButton:hover { background: {panelBorder}; }
#setupWindow QPushButton[role="primary"] { background: {linkGreen}; font-weight: 600; }
#setupWindow QPushButton[role="primary"]:hover { background: {online}; color: {background}; }
#setupWindow QPushButton[role="primary"]:disabled { background: {selector}; color: {secondary}; }
#setupWindow QPushButton[role="link"] { background: transparent; color: {online}; padding: 2px 4px; }
#setupWindow QPushButton[role="link"]:hover { text-decoration: underline; }
#setupWindow QPushButton[role="link"]:disabled { color: {secondary}; }
#setupWindow QPushButton[role="inline"] { background: {panelBorder}; padding: 4px 10px; border-radius: 6px; }
#setupWindow QPushButton[role="inline"]:hover { background: {linkGreen}; }
#setupWindow QPushButton[role="row"] { background: transparent; text-align: left; padding: 7px 8px; border-radius: 6px; }
#setupWindow QPushButton[role="row"]:hover { background: {background}; }
#setupWindow QToolButton { background: transparent; border: none; border-radius: 6px; padding: 3px; }
#setupWindow QToolButton:hover { background: {panelBorder}; }
#setupWindow QScrollArea, #setupWindow QScrollArea > QWidget > QWidget { background: transparent; border: none; }
#setupWindow QTextBrowser { background: transparent; border: none; font-size: 15px; }
#setupWindow QFrame[role="scrim"] { background: rgba(0, 0, 0, 150); }
#setupWindow QToolTip { color: {background}; background: {text}; border: none; }
)");
  for (const auto& [name, colour] : colours)
    sheet.replace(QStringLiteral("{") + name + QStringLiteral("}"), css(colour));
  return sheet;
}

// ---- BrandButton ----

BrandButton::BrandButton(const QString& title, QWidget* parent) : QPushButton(title, parent), title_(title) {
  setProperty("role", "primary");
  setCursor(Qt::PointingHandCursor);
  setMinimumHeight(36);
}

void BrandButton::setBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) {
    title_ = text();
    setText(QString());
    if (!spin_) {
      spin_ = new QTimer(this);
      spin_->setInterval(40);
      connect(spin_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
      });
    }
    spin_->start();
  } else {
    if (spin_) spin_->stop();
    setText(title_);
  }
  update();
}

void BrandButton::setTitle(const QString& title) {
  title_ = title;
  if (!busy_) setText(title);
}

void BrandButton::paintEvent(QPaintEvent* event) {
  QPushButton::paintEvent(event);
  if (!busy_) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const int d = qMin(height() - 16, 18);
  const QRectF r(width() / 2.0 - d / 2.0, height() / 2.0 - d / 2.0, d, d);
  p.setPen(QPen(toQColor(palette::secondary), 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(r, -angle_ * 16, 270 * 16);
}

// ---- Switch ----

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setCursor(Qt::PointingHandCursor);
}

QSize Switch::sizeHint() const { return {40, 22}; }

void Switch::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF track(1, 1, width() - 2, height() - 2);
  const qreal radius = track.height() / 2;
  p.setPen(QPen(toQColor(palette::panelBorder), 1));
  p.setBrush(isChecked() ? toQColor(palette::online) : toQColor(palette::selector));
  p.drawRoundedRect(track, radius, radius);
  const qreal knob = track.height() - 4;
  const qreal x = isChecked() ? track.right() - knob - 2 : track.left() + 2;
  p.setPen(Qt::NoPen);
  p.setBrush(toQColor(palette::text));
  p.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

QPushButton* linkButton(const QString& title, QWidget* parent) {
  auto* b = new QPushButton(title, parent);
  b->setProperty("role", "link");
  b->setCursor(Qt::PointingHandCursor);
  b->setFlat(true);
  return b;
}

// ---- StatusRow ----

StatusRow::StatusRow(std::shared_ptr<const BridgeFacade> bridge, QWidget* parent)
    : QWidget(parent), bridge_(std::move(bridge)) {
  setObjectName("statusRow");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(10, 6, 10, 6);
  row->setSpacing(8);
  dot_ = new QLabel(this);
  dot_->setFixedSize(10, 10);
  label_ = new QLabel(this);
  label_->setObjectName("statusLabel");
  QFont f = label_->font();
  f.setPixelSize(14);
  label_->setFont(f);
  symbol_ = new QLabel(this);
  symbol_->setObjectName("statusSymbol");
  symbol_->setFixedSize(14, 14);
  row->addWidget(dot_);
  row->addWidget(label_);
  row->addWidget(symbol_);
  row->addStretch(1);
  for (auto* o : {bridge_->paused, bridge_->phoneConnected, bridge_->localActive})
    if (o) observers_.observe(*o, [this](bool) { refresh(); });
  refresh();
}

void StatusRow::refresh() {
  const QColor colour = toQColor(statusColor(bridge_->statusTone()));
  QPixmap dot(QSize(20, 20));
  dot.fill(Qt::transparent);
  {
    QPainter p(&dot);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(1, 1, 18, 18));
  }
  dot.setDevicePixelRatio(2.0);
  dot_->setPixmap(dot);
  label_->setText(qs(bridge_->connectionLabel()));
  const auto symbol = bridge_->connectionSymbol();
  setSymbol(symbol_, symbol, colour, 12);
  symbol_->setVisible(!symbol.empty());
}

QString StatusRow::symbol() const { return symbol_->property("symbol").toString(); }

QWidget* brandHeader(QWidget* parent) {
  auto* header = new QWidget(parent);
  header->setObjectName("brandHeader");
  auto* row = new QHBoxLayout(header);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(10);
  auto* mark = new QLabel(header);
  mark->setPixmap(drawDWMark(toQColor(palette::text), 34, 2.0));
  auto* name = new QLabel(QStringLiteral("Deskwave"), header);
  name->setProperty("role", "brand");
  row->addStretch(1);
  row->addWidget(mark);
  row->addWidget(name);
  row->addStretch(1);
  return header;
}

QLabel* textLabel(const QString& text, const char* role, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  if (role) label->setProperty("role", role);
  label->setWordWrap(true);
  return label;
}

}  // namespace deskwave::ui
