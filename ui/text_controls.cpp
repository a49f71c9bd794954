// The controls that show text: the read-only rich-text box (pictures inline) and the one-line edit.
#include "ui/controls.h"

#include <QFontDatabase>
#include <QLineEdit>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <cmath>

#include "ui/markup.h"
#include "ui/skin_archive.h"

namespace snapsave::ui {
namespace {

bool Fail(QString* error, const QString& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// CRichEditUI

CRichEditUI::CRichEditUI(QWidget* parent) : CControlUI(parent), edit_(new QTextEdit(this)) {
  edit_->setReadOnly(true);
  edit_->setFrameShape(QFrame::NoFrame);
  edit_->setUndoRedoEnabled(false);
}

bool CRichEditUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("fitcontent")) {
    auto b = ParseBool(value);
    if (!b) return Fail(error, QStringLiteral("bad value '%1' for fitcontent").arg(value));
    fitContent_ = *b;
    return true;
  }
  if (name == QLatin1String("readonly")) {
    auto b = ParseBool(value);
    if (!b) return Fail(error, QStringLiteral("bad value '%1' for readonly").arg(value));
    edit_->setReadOnly(*b);
    return true;
  }
  if (!CControlUI::SetAttribute(name, value, error)) return false;
  if (name == QLatin1String("bkcolor")) {
    QPalette p = edit_->palette();
    p.setColor(QPalette::Base, bkColor_);
    edit_->setPalette(p);
  }
  return true;
}

void CRichEditUI::SetText(const QString& text) {
  text_ = text;
  edit_->setWordWrapMode(QTextOption::WordWrap);
  edit_->setPlainText(text);
  FitHeight();
}

void CRichEditUI::Clear() {
  text_.clear();
  edit_->clear();
  FitHeight();
}

void CRichEditUI::FitHeight() {
  if (!fitContent_) return;
  QTextDocument* doc = edit_->document();
  doc->setTextWidth(edit_->viewport()->width());
  const QMargins around = textPadding_;
  const int content = static_cast<int>(std::ceil(doc->size().height())) + around.top() + around.bottom() + 2;
  const int most =
      parentWidget() != nullptr && parentWidget()->height() > 0 ? parentWidget()->height() / 2 : content;
  const int height = std::max(fontMetrics().height() + 4, std::min(content, most));
  if (height != FixedHeight()) SetFixedHeight(height);
}

void CRichEditUI::ShowCentredText(const QString& text) {
  Clear();
  edit_->setFont(EffectiveFont());
  QTextCursor cursor(edit_->document());
  QTextBlockFormat format;
  format.setAlignment(Qt::AlignHCenter);
  cursor.setBlockFormat(format);
  cursor.insertText(text);
  text_ = text;
}

bool CRichEditUI::InsertImage(const QImage& image) {
  if (image.isNull() || image.width() < 3 || image.height() < 3) return false;
  QTextDocument* doc = edit_->document();
  const QString name = QStringLiteral("snapsave-image-%1").arg(image.cacheKey());
  doc->addResource(QTextDocument::ImageResource, QUrl(name), image);
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  QTextBlockFormat block;
  block.setAlignment(Qt::AlignHCenter);
  cursor.setBlockFormat(block);
  QTextImageFormat format;
  format.setName(name);
  // Shrink to the box, never enlarge.
  const double room = std::max(16, edit_->viewport()->width() - 8);
  const double scale = std::min(1.0, room / image.width());
  format.setWidth(image.width() * scale);
  format.setHeight(image.height() * scale);
  cursor.insertImage(format);
  return true;
}

namespace {
QFont FixedFont(const QFont& like) {
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPointSizeF(like.pointSizeF() > 0 ? like.pointSizeF() : fixed.pointSizeF());
  return fixed;
}
}  // namespace

void CRichEditUI::AppendBlock(const QString& text, bool fixed) {
  QTextCursor cursor(edit_->document());
  cursor.movePosition(QTextCursor::End);
  if (!edit_->document()->isEmpty()) cursor.insertBlock();
  QTextBlockFormat block;
  block.setAlignment(Qt::AlignLeft);
  cursor.setBlockFormat(block);
  // Text wraps between words; hex lines are cut to the box's width already.
  edit_->setWordWrapMode(fixed ? QTextOption::NoWrap : QTextOption::WordWrap);
  QTextCharFormat format;
  format.setFont(fixed ? FixedFont(EffectiveFont()) : EffectiveFont());
  cursor.insertText(text, format);
  text_ = edit_->toPlainText();
}

int CRichEditUI::FixedColumns() const {
  // The vertical scroll bar takes its room once the lines overflow the box.
  const int bar =
      edit_->verticalScrollBar()->isVisible() ? 0 : edit_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int room =
      edit_->viewport()->width() - bar - 2 * static_cast<int>(edit_->document()->documentMargin()) - 2;
  const int advance = QFontMetrics(FixedFont(EffectiveFont())).horizontalAdvance(QLatin1Char('0'));
  return advance > 0 ? std::max(0, room / advance) : 0;
}

QString CRichEditUI::PlainContent() const {
  return edit_->toPlainText();
}

void CRichEditUI::resizeEvent(QResizeEvent* event) {
  edit_->setGeometry(TextRect());
  if (event->oldSize().width() != width()) FitHeight();
}

// ---------------------------------------------------------------------------------------------------------------
// CEditUI

CEditUI::CEditUI(QWidget* parent) : CControlUI(parent), edit_(new QLineEdit(this)) {
  edit_->setFrame(false);
  QObject::connect(edit_, &QLineEdit::textChanged, this, [this](const QString& text) {
    text_ = text;
    Notify(QStringLiteral("textchanged"));
  });
}

bool CEditUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("tip")) {
    edit_->setPlaceholderText(value);
    return true;
  }
  if (name == QLatin1String("maxchar")) {
    bool ok = false;
    const int n = value.toInt(&ok);
    if (!ok || n <= 0) return Fail(error, QStringLiteral("bad value '%1' for maxchar").arg(value));
    edit_->setMaxLength(n);
    return true;
  }
  if (!CControlUI::SetAttribute(name, value, error)) return false;
  if (name == QLatin1String("text")) {
    edit_->setText(text_);
  } else if (name == QLatin1String("font")) {
    edit_->setFont(EffectiveFont());
  } else if (name == QLatin1String("bkcolor") || name == QLatin1String("textcolor")) {
    QPalette p = edit_->palette();
    if (bkColor_.isValid()) p.setColor(QPalette::Base, bkColor_);
    if (textColor_.isValid()) p.setColor(QPalette::Text, textColor_);
    edit_->setPalette(p);
  }
  return true;
}

void CEditUI::SetText(const QString& text) {
  text_ = text;
  if (edit_->text() != text) edit_->setText(text);
}

void CEditUI::resizeEvent(QResizeEvent*) {
  edit_->setGeometry(TextRect());
}

}  // namespace snapsave::ui
