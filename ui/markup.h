// Inline text markup of captions and messages: "{f n}" font by id, "{c #RRGGBB}" colour, "{b}" bold, "{n}"
// line break, each closed by "{/f}", "{/c}", "{/b}". Anything else in braces is shown as it stands.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <functional>
#include <vector>

namespace snapsave::ui {

struct TextRun {
  QString text;   // "\n" for a line break
  int font = -1;  // font id, -1 = the control's font
  QColor color;   // invalid = the control's colour
  bool bold = false;
};

std::vector<TextRun> ParseMarkup(const QString& text);
// The text without markup, as a reader would see it.
QString PlainText(const QString& text);
bool HasMarkup(const QString& text);

// Rich text (HTML subset) for Qt's text layout; `fontById` resolves font ids.
QString MarkupToHtml(const QString& text, const std::function<QFont(int)>& fontById, const QFont& base,
                     const QColor& color);

}  // namespace snapsave::ui
