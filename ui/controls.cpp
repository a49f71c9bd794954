#include "ui/controls.h"

#include <QAbstractTextDocumentLayout>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolTip>

#include <algorithm>

#include "ui/markup.h"
#include "ui/skin_archive.h"
#include "ui/window.h"

namespace snapsave::ui {
namespace {

bool Fail(QString* error, const QString& why) {
  if (error) *error = why;
  return false;
}

std::optional<int> ParseInt(const QString& text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (!ok) return std::nullopt;
  return v;
}

}  // namespace

std::optional<QColor> ParseColor(const QString& text) {
  const QString t = text.trimmed();
  if (!t.startsWith(QLatin1Char('#')) || (t.size() != 7 && t.size() != 9)) return std::nullopt;
  const QColor c = QColor::fromString(t);
  if (!c.isValid()) return std::nullopt;
  return c;
}

std::optional<bool> ParseBool(const QString& text) {
  if (text == QLatin1String("true")) return true;
  if (text == QLatin1String("false")) return false;
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------------------------
// CControlUI

CControlUI::CControlUI(QWidget* parent) : QWidget(parent) {}

void CControlUI::SetText(const QString& text) {
  if (text_ == text) return;
  text_ = text;
  update();
}

void CControlUI::SetBkColor(const QColor& color) {
  bkColor_ = color;
  update();
}

void CControlUI::SetTextColor(const QColor& color) {
  textColor_ = color;
  update();
}

bool CControlUI::SetBkImage(const QString& descriptor) {
  if (!ParseImage(descriptor, &bkImage_, nullptr)) return false;
  update();
  return true;
}

bool CControlUI::SetForeImage(const QString& descriptor) {
  if (!ParseImage(descriptor, &foreImage_, nullptr)) return false;
  update();
  return true;
}

void CControlUI::SetFont(int id) {
  font_ = id;
  update();
}

void CControlUI::SetPadding(const QMargins& padding) {
  padding_ = padding;
  RelayoutParent();
}

void CControlUI::SetFixedWidth(int width) {
  fixedWidth_ = std::max(0, width);
  RelayoutParent();
}

void CControlUI::SetFixedHeight(int height) {
  fixedHeight_ = std::max(0, height);
  RelayoutParent();
}

void CControlUI::setVisible(bool visible) {
  const bool changed = isHidden() == visible;
  QWidget::setVisible(visible);
  if (changed) RelayoutParent();
}

void CControlUI::RelayoutParent() {
  if (auto* container = dynamic_cast<CContainerUI*>(parentWidget())) container->DoLayout();
}

bool CControlUI::ParseImage(const QString& value, ImageDescriptor* out, QString* error) {
  QString why;
  auto d = ParseImageDescriptor(value, &why);
  if (!d) return Fail(error, why);
  if (!d->Empty() && !SkinArchive::Current().Contains(d->file))
    return Fail(error, QStringLiteral("image '%1' is not in the skin").arg(d->file));
  *out = *d;
  return true;
}

bool CControlUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  auto badValue = [&] { return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name)); };
  if (name == QLatin1String("name")) {
    name_ = value;
  } else if (name == QLatin1String("text")) {
    SetText(value);
  } else if (name == QLatin1String("tooltip")) {
    setToolTip(value);
  } else if (name == QLatin1String("userdata")) {
    userData_ = value;
  } else if (name == QLatin1String("width") || name == QLatin1String("height")) {
    auto v = ParseInt(value);
    if (!v || *v < 0) return badValue();
    (name == QLatin1String("width") ? fixedWidth_ : fixedHeight_) = *v;
  } else if (name == QLatin1String("minwidth") || name == QLatin1String("minheight")) {
    auto v = ParseInt(value);
    if (!v || *v < 0) return badValue();
    if (name == QLatin1String("minwidth"))
      setMinimumWidth(*v);
    else
      setMinimumHeight(*v);
  } else if (name == QLatin1String("padding") || name == QLatin1String("textpadding")) {
    auto m = ParseMargins(value);
    if (!m) return badValue();
    (name == QLatin1String("padding") ? padding_ : textPadding_) = *m;
  } else if (name == QLatin1String("bkcolor") || name == QLatin1String("textcolor") ||
             name == QLatin1String("bordercolor") || name == QLatin1String("disabledtextcolor")) {
    auto c = ParseColor(value);
    if (!c) return badValue();
    if (name == QLatin1String("bkcolor"))
      bkColor_ = *c;
    else if (name == QLatin1String("textcolor"))
      textColor_ = *c;
    else if (name == QLatin1String("bordercolor"))
      borderColor_ = *c;
    else
      disabledTextColor_ = *c;
  } else if (name == QLatin1String("bordersize") || name == QLatin1String("borderround")) {
    auto v = ParseInt(value);
    if (!v || *v < 0) return badValue();
    (name == QLatin1String("bordersize") ? borderSize_ : borderRound_) = *v;
  } else if (name == QLatin1String("bkimage")) {
    return ParseImage(value, &bkImage_, error);
  } else if (name == QLatin1String("foreimage")) {
    return ParseImage(value, &foreImage_, error);
  } else if (name == QLatin1String("font")) {
    auto v = ParseInt(value);
    if (!v) return badValue();
    font_ = *v;
  } else if (name == QLatin1String("align")) {
    const Qt::Alignment v = align_ & Qt::AlignVertical_Mask;
    if (value == QLatin1String("left"))
      align_ = v | Qt::AlignLeft;
    else if (value == QLatin1String("center"))
      align_ = v | Qt::AlignHCenter;
    else if (value == QLatin1String("right"))
      align_ = v | Qt::AlignRight;
    else
      return badValue();
  } else if (name == QLatin1String("valign")) {
    const Qt::Alignment h = align_ & Qt::AlignHorizontal_Mask;
    if (value == QLatin1String("top"))
      align_ = h | Qt::AlignTop;
    else if (value == QLatin1String("vcenter"))
      align_ = h | Qt::AlignVCenter;
    else if (value == QLatin1String("bottom"))
      align_ = h | Qt::AlignBottom;
    else
      return badValue();
  } else if (name == QLatin1String("endellipsis") || name == QLatin1String("wordwrap") ||
             name == QLatin1String("visible") || name == QLatin1String("enabled")) {
    auto b = ParseBool(value);
    if (!b) return badValue();
    if (name == QLatin1String("endellipsis"))
      endEllipsis_ = *b;
    else if (name == QLatin1String("wordwrap"))
      wordWrap_ = *b;
    else if (name == QLatin1String("visible"))
      setVisible(*b);
    else
      setEnabled(*b);
  } else {
    return Fail(error, QStringLiteral("unknown attribute '%1'").arg(name));
  }
  return true;
}

CWindowUI* CControlUI::Window() const {
  for (QWidget* w = parentWidget(); w; w = w->parentWidget())
    if (auto* window = dynamic_cast<CWindowUI*>(w)) return window;
  return nullptr;
}

void CControlUI::Notify(const QString& type, qint64 wParam, const QVariant& lParam) {
  if (CWindowUI* w = Window()) w->SendNotify(this, type, wParam, lParam);
}

QFont CControlUI::FontById(int id) const {
  if (CWindowUI* w = Window()) return w->Font(id);
  return font();
}

int CControlUI::TextWidthWhole() const {
  return QFontMetrics(EffectiveFont()).horizontalAdvance(text_) + textPadding_.left() + textPadding_.right();
}

QFont CControlUI::EffectiveFont() const {
  return FontById(font_);
}

bool CControlUI::Draw(QPainter& painter, const ImageDescriptor& image, const QRect& bounds) {
  return DrawImage(painter, SkinArchive::Current(), bounds, image);
}

void CControlUI::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintBackground(painter);
  PaintStatus(painter);
  PaintText(painter);
  if (borderSize_ > 0 && borderColor_.isValid()) {
    painter.setRenderHint(QPainter::Antialiasing, borderRound_ > 0);
    painter.setPen(QPen(borderColor_, borderSize_));
    painter.setBrush(Qt::NoBrush);
    const qreal half = borderSize_ / 2.0;
    painter.drawRoundedRect(QRectF(rect()).adjusted(half, half, -half, -half), borderRound_, borderRound_);
  }
}

void CControlUI::PaintBackground(QPainter& painter) {
  if (bkColor_.isValid() && bkColor_.alpha() > 0) {
    if (borderRound_ > 0) {
      painter.setRenderHint(QPainter::Antialiasing, true);
      painter.setPen(Qt::NoPen);
      painter.setBrush(bkColor_);
      painter.drawRoundedRect(QRectF(rect()), borderRound_, borderRound_);
    } else {
      painter.fillRect(rect(), bkColor_);
    }
  }
  Draw(painter, bkImage_);
}

bool CControlUI::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip || !toolTip().isEmpty() || !endEllipsis_ || wordWrap_ ||
      HasMarkup(text_))
    return QWidget::event(event);
  auto* help = static_cast<QHelpEvent*>(event);
  if (QFontMetrics(EffectiveFont()).horizontalAdvance(text_) > TextRect().width())
    QToolTip::showText(help->globalPos(), text_, this);
  else
    QToolTip::hideText();
  return true;
}

void CControlUI::PaintStatus(QPainter& painter) {
  Draw(painter, foreImage_);
}

void CControlUI::PaintText(QPainter& painter) {
  if (text_.isEmpty()) return;
  QColor color = textColor_.isValid() ? textColor_ : QColor(0x33, 0x33, 0x33);
  if (!isEnabled()) color = disabledTextColor_.isValid() ? disabledTextColor_ : QColor(0xA0, 0xA0, 0xA0);
  DrawTextIn(painter, TextRect(), text_, color);
}

void CControlUI::DrawTextIn(QPainter& painter, const QRect& r, const QString& text, const QColor& color) {
  const QFont base = EffectiveFont();
  if (!HasMarkup(text) && !wordWrap_) {
    painter.setFont(base);
    painter.setPen(color);
    const QString shown =
        endEllipsis_ ? QFontMetrics(base).elidedText(text, Qt::ElideRight, r.width()) : text;
    painter.drawText(r, static_cast<int>(align_ | Qt::TextSingleLine), shown);
    return;
  }
  QTextDocument doc;
  doc.setDocumentMargin(0);
  doc.setDefaultFont(base);
  QTextOption option;
  option.setAlignment(align_ & Qt::AlignHorizontal_Mask);
  option.setWrapMode(wordWrap_ ? QTextOption::WordWrap : QTextOption::NoWrap);
  doc.setDefaultTextOption(option);
  doc.setHtml(MarkupToHtml(
      text, [this](int id) { return FontById(id); }, base, color));
  doc.setTextWidth(r.width());
  const qreal h = doc.size().height();
  qreal y = r.top();
  if (align_ & Qt::AlignVCenter)
    y = r.top() + (r.height() - h) / 2;
  else if (align_ & Qt::AlignBottom)
    y = r.bottom() + 1 - h;
  painter.save();
  painter.setClipRect(r);
  painter.translate(r.left(), y);
  QAbstractTextDocumentLayout::PaintContext context;
  context.palette.setColor(QPalette::Text, color);
  doc.documentLayout()->draw(&painter, context);
  painter.restore();
}

// ---------------------------------------------------------------------------------------------------------------
// CTextUI

CTextUI::CTextUI(QWidget* parent) : CControlUI(parent) {
  wordWrap_ = true;
  align_ = Qt::AlignLeft | Qt::AlignTop;
}

void CTextUI::mousePressEvent(QMouseEvent* event) {
  event->accept();
}

// ---------------------------------------------------------------------------------------------------------------
// CButtonUI

CButtonUI::CButtonUI(QWidget* parent) : CControlUI(parent) {
  align_ = Qt::AlignCenter;
  setCursor(Qt::PointingHandCursor);
}

bool CButtonUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("normalimage")) return ParseImage(value, &normalImage_, error);
  if (name == QLatin1String("hotimage")) return ParseImage(value, &hotImage_, error);
  if (name == QLatin1String("pushedimage")) return ParseImage(value, &pushedImage_, error);
  if (name == QLatin1String("disabledimage")) return ParseImage(value, &disabledImage_, error);
  if (name == QLatin1String("hotforeimage")) return ParseImage(value, &hotForeImage_, error);
  if (name == QLatin1String("hottextcolor") || name == QLatin1String("pushedtextcolor")) {
    auto c = ParseColor(value);
    if (!c) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    (name == QLatin1String("hottextcolor") ? hotTextColor_ : pushedTextColor_) = *c;
    return true;
  }
  return CControlUI::SetAttribute(name, value, error);
}

void CButtonUI::Activate() {
  Notify(QStringLiteral("click"));
}

void CButtonUI::PaintStatus(QPainter& painter) {
  const ImageDescriptor* image = &normalImage_;
  if (!isEnabled() && !disabledImage_.Empty())
    image = &disabledImage_;
  else if (pushed_ && hot_ && !pushedImage_.Empty())
    image = &pushedImage_;
  else if (hot_ && !hotImage_.Empty())
    image = &hotImage_;
  Draw(painter, *image);
  Draw(painter, hot_ && !hotForeImage_.Empty() ? hotForeImage_ : foreImage_);
}

void CButtonUI::PaintText(QPainter& painter) {
  if (text_.isEmpty()) return;
  QColor color = textColor_.isValid() ? textColor_ : QColor(0x33, 0x33, 0x33);
  if (!isEnabled())
    color = disabledTextColor_.isValid() ? disabledTextColor_ : QColor(0xA0, 0xA0, 0xA0);
  else if (pushed_ && hot_ && pushedTextColor_.isValid())
    color = pushedTextColor_;
  else if (hot_ && hotTextColor_.isValid())
    color = hotTextColor_;
  DrawTextIn(painter, TextRect(), text_, color);
}

void CButtonUI::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return event->ignore();
  pushed_ = true;
  update();
}

void CButtonUI::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pushed_) return event->ignore();
  pushed_ = false;
  update();
  if (rect().contains(event->position().toPoint())) Activate();
}

void CButtonUI::enterEvent(QEnterEvent*) {
  hot_ = true;
  update();
}

void CButtonUI::leaveEvent(QEvent*) {
  hot_ = false;
  update();
}

void CButtonUI::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange && !isEnabled()) hot_ = pushed_ = false;
  CControlUI::changeEvent(event);
}

// ---------------------------------------------------------------------------------------------------------------
// COptionUI

COptionUI::COptionUI(QWidget* parent) : CButtonUI(parent) {}
COptionUI::~COptionUI() = default;

bool COptionUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("group")) {
    group_ = value;
    return true;
  }
  if (name == QLatin1String("selected")) {
    auto b = ParseBool(value);
    if (!b) return Fail(error, QStringLiteral("bad value '%1' for selected").arg(value));
    selected_ = *b;  // groups are settled once the layout is built
    return true;
  }
  if (name == QLatin1String("selectedimage")) return ParseImage(value, &selectedImage_, error);
  if (name == QLatin1String("selectedhotimage")) return ParseImage(value, &selectedHotImage_, error);
  if (name == QLatin1String("selectedforeimage")) return ParseImage(value, &selectedForeImage_, error);
  if (name == QLatin1String("selectedtextcolor")) {
    auto c = ParseColor(value);
    if (!c) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    selectedTextColor_ = *c;
    return true;
  }
  return CButtonUI::SetAttribute(name, value, error);
}

void COptionUI::Selected(bool selected, bool notify) {
  if (selected_ == selected) return;
  selected_ = selected;
  if (selected_ && !group_.isEmpty()) {
    // Group members live anywhere in the same window.
    QWidget* scope = Window();
    if (!scope) scope = parentWidget();
    if (scope) {
      for (QWidget* w : scope->findChildren<QWidget*>()) {
        auto* other = dynamic_cast<COptionUI*>(w);
        if (other && other != this && other->group_ == group_ && other->selected_) {
          other->selected_ = false;
          other->update();
          if (notify) other->Notify(QStringLiteral("selectchanged"));
        }
      }
    }
  }
  update();
  if (notify) Notify(QStringLiteral("selectchanged"));
}

void COptionUI::Activate() {
  Notify(QStringLiteral("click"));
  // A grouped option stays selected when clicked again; a lone one toggles.
  if (!group_.isEmpty())
    Selected(true);
  else
    Selected(!selected_);
}

void COptionUI::PaintStatus(QPainter& painter) {
  if (!selected_) return CButtonUI::PaintStatus(painter);
  const ImageDescriptor* image = &selectedImage_;
  if (hot_ && !selectedHotImage_.Empty()) image = &selectedHotImage_;
  if (image->Empty()) image = &normalImage_;
  Draw(painter, *image);
  Draw(painter, !selectedForeImage_.Empty() ? selectedForeImage_ : foreImage_);
}

void COptionUI::PaintText(QPainter& painter) {
  if (selected_ && selectedTextColor_.isValid() && isEnabled() && !text_.isEmpty()) {
    DrawTextIn(painter, TextRect(), text_, selectedTextColor_);
    return;
  }
  CButtonUI::PaintText(painter);
}

// ---------------------------------------------------------------------------------------------------------------
// CProgressUI

bool CProgressUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("min") || name == QLatin1String("max") || name == QLatin1String("value")) {
    auto v = ParseInt(value);
    if (!v) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    if (name == QLatin1String("min"))
      min_ = *v;
    else if (name == QLatin1String("max"))
      max_ = *v;
    else
      value_ = *v;
    return true;
  }
  if (name == QLatin1String("forecolor")) {
    auto c = ParseColor(value);
    if (!c) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    foreColor_ = *c;
    return true;
  }
  return CControlUI::SetAttribute(name, value, error);
}

void CProgressUI::SetValue(int value) {
  value_ = std::clamp(value, min_, std::max(min_, max_));
  update();
}

void CProgressUI::SetRange(int min, int max) {
  min_ = min;
  max_ = std::max(min, max);
  SetValue(value_);
}

void CProgressUI::PaintStatus(QPainter& painter) {
  if (max_ <= min_) return;
  const double share = std::clamp(static_cast<double>(value_ - min_) / (max_ - min_), 0.0, 1.0);
  const QRect done(0, 0, static_cast<int>(width() * share), height());
  if (done.width() <= 0) return;
  painter.save();
  painter.setClipRect(done);
  if (foreColor_.isValid()) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(foreColor_);
    painter.drawRoundedRect(QRectF(rect()), borderRound_, borderRound_);
  }
  // The fore image spans the whole bar and is revealed up to the value, so its ends keep their shape.
  Draw(painter, foreImage_);
  painter.restore();
}

// ---------------------------------------------------------------------------------------------------------------
// Containers

bool CContainerUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("inset")) {
    auto m = ParseMargins(value);
    if (!m) return Fail(error, QStringLiteral("bad value '%1' for inset").arg(value));
    inset_ = *m;
    return true;
  }
  if (name == QLatin1String("childpadding")) {
    auto v = ParseInt(value);
    if (!v || *v < 0) return Fail(error, QStringLiteral("bad value '%1' for childpadding").arg(value));
    childPadding_ = *v;
    return true;
  }
  return CControlUI::SetAttribute(name, value, error);
}

void CContainerUI::Add(CControlUI* child) {
  AddAt(child, static_cast<int>(items_.size()));
}

void CContainerUI::AddAt(CControlUI* child, int index) {
  if (!child) return;
  if (child->parentWidget() != this) child->setParent(this);
  const size_t at = std::min(items_.size(), static_cast<size_t>(std::max(0, index)));
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), child);
  if (!child->isHidden() || !child->testAttribute(Qt::WA_WState_ExplicitShowHide)) child->show();
  DoLayout();
}

void CContainerUI::Remove(CControlUI* child) {
  auto it = std::find(items_.begin(), items_.end(), child);
  if (it == items_.end()) return;
  items_.erase(it);
  delete child;
  DoLayout();
}

void CContainerUI::RemoveAll() {
  std::vector<CControlUI*> items;
  items.swap(items_);
  for (CControlUI* c : items) delete c;
  DoLayout();
}

int CContainerUI::IndexOf(const CControlUI* child) const {
  auto it = std::find(items_.begin(), items_.end(), child);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void CContainerUI::SetInset(const QMargins& inset) {
  inset_ = inset;
  DoLayout();
}

void CContainerUI::SetChildPadding(int padding) {
  childPadding_ = std::max(0, padding);
  DoLayout();
}

void CContainerUI::resizeEvent(QResizeEvent*) {
  DoLayout();
}

void CContainerUI::DoLayout() {
  // A plain container stacks every child over its whole inner area.
  const QRect inner = rect().marginsRemoved(inset_);
  for (CControlUI* c : items_) {
    if (c->isHidden()) continue;
    QRect r = inner.marginsRemoved(c->Padding());
    if (c->FixedWidth() > 0) r.setWidth(c->FixedWidth());
    if (c->FixedHeight() > 0) r.setHeight(c->FixedHeight());
    c->setGeometry(r);
  }
}

void CContainerUI::LayoutAlong(bool vertical) {
  const QRect inner = rect().marginsRemoved(inset_);
  std::vector<CControlUI*> shown;
  for (CControlUI* c : items_)
    if (!c->isHidden()) shown.push_back(c);
  if (shown.empty()) return;
  auto along = [vertical](const CControlUI* c) { return vertical ? c->FixedHeight() : c->FixedWidth(); };
  auto marginAlong = [vertical](const CControlUI* c) {
    const QMargins p = c->Padding();
    return vertical ? p.top() + p.bottom() : p.left() + p.right();
  };
  int fixed = 0, stretch = 0;
  for (const CControlUI* c : shown) {
    fixed += along(c) + marginAlong(c);
    if (along(c) == 0) ++stretch;
  }
  fixed += childPadding_ * static_cast<int>(shown.size() - 1);
  const int total = vertical ? inner.height() : inner.width();
  const int share = stretch > 0 ? std::max(0, total - fixed) / stretch : 0;
  const int rest = stretch > 0 ? std::max(0, total - fixed) - share * stretch : 0;
  int pos = vertical ? inner.top() : inner.left();
  for (CControlUI* c : shown) {
    const QMargins p = c->Padding();
    int length = along(c);
    if (length == 0) {
      length = share;
      if (--stretch == 0) length += rest;  // the last stretching child takes the remainder
    }
    QRect r;
    if (vertical) {
      const int w = c->FixedWidth() > 0 ? c->FixedWidth() : inner.width() - p.left() - p.right();
      r = QRect(inner.left() + p.left(), pos + p.top(), std::max(0, w), std::max(0, length));
      pos += p.top() + length + p.bottom() + childPadding_;
    } else {
      const int h = c->FixedHeight() > 0 ? c->FixedHeight() : inner.height() - p.top() - p.bottom();
      r = QRect(pos + p.left(), inner.top() + p.top(), std::max(0, length), std::max(0, h));
      pos += p.left() + length + p.right() + childPadding_;
    }
    c->setGeometry(r);
  }
}

bool CTabLayoutUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("selectedid")) {
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok || v < 0) return Fail(error, QStringLiteral("bad value '%1' for selectedid").arg(value));
    current_ = v;
    return true;
  }
  return CContainerUI::SetAttribute(name, value, error);
}

bool CTabLayoutUI::SelectItem(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) return false;
  current_ = index;
  DoLayout();
  return true;
}

void CTabLayoutUI::DoLayout() {
  const QRect inner = rect().marginsRemoved(inset_);
  for (size_t i = 0; i < items_.size(); ++i) {
    CControlUI* c = items_[i];
    const bool current = static_cast<int>(i) == current_;
    // Bypass CControlUI::setVisible: hiding pages must not ask this layout to lay out again.
    c->QWidget::setVisible(current);
    if (current) c->setGeometry(inner.marginsRemoved(c->Padding()));
  }
}

// ---------------------------------------------------------------------------------------------------------------
// CSplitterUI

CSplitterUI::CSplitterUI(QWidget* parent) : CControlUI(parent) {
  setCursor(Qt::SplitHCursor);
  if (parent != nullptr) parent->installEventFilter(this);
}

bool CSplitterUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("target")) {
    if (value != QLatin1String("next") && value != QLatin1String("prev"))
      return Fail(error, QStringLiteral("bad value '%1' for target").arg(value));
    targetNext_ = value == QLatin1String("next");
    return true;
  }
  if (name == QLatin1String("minsize") || name == QLatin1String("restmin")) {
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok || v < 0) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    (name == QLatin1String("minsize") ? minSize_ : restMin_) = v;
    return true;
  }
  return CControlUI::SetAttribute(name, value, error);
}

CControlUI* CSplitterUI::Target() const {
  auto* parent = dynamic_cast<CContainerUI*>(parentWidget());
  if (parent == nullptr) return nullptr;
  const int at = parent->IndexOf(this);
  const int index = targetNext_ ? at + 1 : at - 1;
  const auto& items = parent->Items();
  if (at < 0 || index < 0 || index >= static_cast<int>(items.size())) return nullptr;
  return items[static_cast<size_t>(index)];
}

int CSplitterUI::Room() const {
  auto* parent = dynamic_cast<CContainerUI*>(parentWidget());
  const CControlUI* target = Target();
  if (parent == nullptr || target == nullptr) return minSize_;
  int taken = 0, shown = 0;
  for (const CControlUI* c : parent->Items()) {
    if (c->isHidden()) continue;
    ++shown;
    if (c != target) taken += c->FixedWidth() + c->Padding().left() + c->Padding().right();
  }
  taken +=
      parent->ChildPadding() * std::max(0, shown - 1) + target->Padding().left() + target->Padding().right();
  const int inner = parent->width() - parent->Inset().left() - parent->Inset().right();
  return std::max(minSize_, inner - taken - restMin_);
}

void CSplitterUI::SetPreferredWidth(int width) {
  preferred_ = std::max(minSize_, width);
  Fit();
}

void CSplitterUI::Fit() {
  CControlUI* target = Target();
  if (target == nullptr || target->isHidden()) return;
  if (preferred_ == 0) preferred_ = std::max(minSize_, target->FixedWidth());
  const int width = std::clamp(preferred_, minSize_, Room());
  if (width != target->FixedWidth()) target->SetFixedWidth(width);
}

bool CSplitterUI::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize) Fit();
  return false;
}

void CSplitterUI::mousePressEvent(QMouseEvent* event) {
  const CControlUI* target = Target();
  if (event->button() != Qt::LeftButton || target == nullptr) return;
  dragging_ = true;
  pressX_ = event->globalPosition().toPoint().x();
  pressWidth_ = target->FixedWidth();
}

void CSplitterUI::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return;
  const int dx = event->globalPosition().toPoint().x() - pressX_;
  // The pane stops where it can grow no more, so that dragging back starts moving it at once.
  preferred_ = std::clamp(targetNext_ ? pressWidth_ - dx : pressWidth_ + dx, minSize_, Room());
  Fit();
}

void CSplitterUI::mouseReleaseEvent(QMouseEvent*) {
  if (!dragging_) return;
  dragging_ = false;
  Notify(QStringLiteral("splittermoved"), preferred_);
}

}  // namespace snapsave::ui
