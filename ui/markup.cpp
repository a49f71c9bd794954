#include "ui/markup.h"

#include <QRegularExpression>

namespace snapsave::ui {
namespace {

struct Style {
  int font = -1;
  QColor color;
  bool bold = false;
};

}  // namespace

std::vector<TextRun> ParseMarkup(const QString& text) {
  std::vector<TextRun> runs;
  std::vector<Style> stack{Style{}};
  QString pending;
  auto flush = [&] {
    if (pending.isEmpty()) return;
    const Style& s = stack.back();
    runs.push_back({pending, s.font, s.color, s.bold});
    pending.clear();
  };
  static const QRegularExpression tag(
      QStringLiteral(R"(^\{(f\s+(\d+)|c\s+(#[0-9A-Fa-f]{6}|#[0-9A-Fa-f]{8})|b|n|/f|/c|/b)\})"));
  qsizetype i = 0;
  while (i < text.size()) {
    if (text[i] == QLatin1Char('{')) {
      auto m = tag.match(QStringView(text).mid(i));
      if (m.hasMatch()) {
        const QString body = m.captured(1);
        flush();
        if (body == QLatin1String("n")) {
          runs.push_back({QStringLiteral("\n"), stack.back().font, stack.back().color, stack.back().bold});
        } else if (body.startsWith(QLatin1Char('/'))) {
          if (stack.size() > 1) stack.pop_back();  // an unbalanced close is ignored
        } else {
          Style s = stack.back();
          if (body.startsWith(QLatin1Char('f'))) s.font = m.captured(2).toInt();
          if (body.startsWith(QLatin1Char('c'))) s.color = QColor::fromString(m.captured(3));
          if (body == QLatin1String("b")) s.bold = true;
          // Layouts nest only a few levels; a runaway text must not grow the stack without bound.
          if (stack.size() < 64) stack.push_back(s);
        }
        i += m.capturedLength(0);
        continue;
      }
    }
    pending += text[i];
    ++i;
  }
  flush();
  return runs;
}

QString PlainText(const QString& text) {
  QString out;
  for (const TextRun& r : ParseMarkup(text)) out += r.text;
  return out;
}

bool HasMarkup(const QString& text) {
  const auto runs = ParseMarkup(text);
  return !(runs.empty() || (runs.size() == 1 && runs[0].text == text));
}

QString MarkupToHtml(const QString& text, const std::function<QFont(int)>& fontById, const QFont& base,
                     const QColor& color) {
  QString html;
  for (const TextRun& r : ParseMarkup(text)) {
    if (r.text == QLatin1String("\n")) {
      html += QStringLiteral("<br/>");
      continue;
    }
    const QFont f = r.font >= 0 && fontById ? fontById(r.font) : base;
    const QColor c = r.color.isValid() ? r.color : color;
    html += QStringLiteral(
                "<span style=\"font-family:'%1'; font-size:%2px; font-weight:%3; color:%4;%5\">%6</span>")
                .arg(f.family())
                .arg(f.pixelSize() > 0 ? f.pixelSize() : 12)
                .arg(r.bold || f.bold() ? 700 : 400)
                .arg(c.name(QColor::HexRgb))
                .arg(f.underline() ? QStringLiteral(" text-decoration:underline;") : QString())
                .arg(r.text.toHtmlEscaped());
  }
  return html;
}

}  // namespace snapsave::ui
