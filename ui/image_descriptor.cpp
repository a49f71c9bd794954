#include "ui/image_descriptor.h"

#include "ui/skin_archive.h"

#include <QStringList>

#include <array>

namespace snapsave::ui {
namespace {

std::optional<std::array<int, 4>> ParseFour(const QString& text) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() != 4) return std::nullopt;
  std::array<int, 4> v{};
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    v[static_cast<size_t>(i)] = parts[i].trimmed().toInt(&ok);
    if (!ok) return std::nullopt;
  }
  return v;
}

}  // namespace

std::optional<QRect> ParseRect(const QString& text) {
  auto v = ParseFour(text);
  if (!v || (*v)[2] < (*v)[0] || (*v)[3] < (*v)[1]) return std::nullopt;
  return QRect(QPoint((*v)[0], (*v)[1]), QPoint((*v)[2] - 1, (*v)[3] - 1));
}

std::optional<QMargins> ParseMargins(const QString& text) {
  auto v = ParseFour(text);
  if (!v) return std::nullopt;
  for (int x : *v)
    if (x < 0) return std::nullopt;
  return QMargins((*v)[0], (*v)[1], (*v)[2], (*v)[3]);
}

std::optional<ImageDescriptor> ParseImageDescriptor(const QString& text, QString* error) {
  ImageDescriptor d;
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return d;
  if (!trimmed.contains(QLatin1Char('='))) {
    d.file = trimmed;
    return d;
  }
  auto fail = [&](const QString& why) -> std::optional<ImageDescriptor> {
    if (error) *error = QStringLiteral("image descriptor \"%1\": %2").arg(text, why);
    return std::nullopt;
  };
  qsizetype i = 0;
  const qsizetype n = trimmed.size();
  while (i < n) {
    while (i < n && trimmed[i].isSpace()) ++i;
    if (i >= n) break;
    const qsizetype eq = trimmed.indexOf(QLatin1Char('='), i);
    if (eq < 0 || eq + 1 >= n || trimmed[eq + 1] != QLatin1Char('\''))
      return fail(QStringLiteral("expected key='value'"));
    const QString key = trimmed.mid(i, eq - i).trimmed();
    const qsizetype close = trimmed.indexOf(QLatin1Char('\''), eq + 2);
    if (close < 0) return fail(QStringLiteral("unterminated value"));
    const QString value = trimmed.mid(eq + 2, close - eq - 2);
    i = close + 1;
    if (key == QLatin1String("file")) {
      d.file = value;
    } else if (key == QLatin1String("source") || key == QLatin1String("dest")) {
      auto r = ParseRect(value);
      if (!r) return fail(QStringLiteral("bad rectangle '%1'").arg(value));
      (key == QLatin1String("source") ? d.source : d.dest) = *r;
    } else if (key == QLatin1String("corner")) {
      auto m = ParseMargins(value);
      if (!m) return fail(QStringLiteral("bad corner '%1'").arg(value));
      d.corner = *m;
    } else if (key == QLatin1String("fade")) {
      bool ok = false;
      d.fade = value.toInt(&ok);
      if (!ok || d.fade < 0 || d.fade > 255) return fail(QStringLiteral("fade must be 0..255"));
    } else if (key == QLatin1String("hole")) {
      d.hole = value == QLatin1String("true");
    } else {
      return fail(QStringLiteral("unknown key '%1'").arg(key));
    }
  }
  if (d.file.isEmpty()) return fail(QStringLiteral("no file"));
  return d;
}

bool DrawImage(QPainter& painter, const SkinArchive& skin, const QRect& bounds, const ImageDescriptor& d) {
  if (d.Empty()) return true;
  const QImage image = skin.Image(d.file);
  if (image.isNull()) return false;
  QRect src = d.source.value_or(image.rect()).intersected(image.rect());
  QRect dst = d.dest ? d.dest->translated(bounds.topLeft()) : bounds;
  if (src.isEmpty() || dst.isEmpty()) return true;
  painter.save();
  painter.setOpacity(painter.opacity() * d.fade / 255.0);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  const QMargins c = d.corner;
  if (c.isNull()) {
    painter.drawImage(dst, image, src);
  } else {
    // Nine slices: corners keep their size, edges stretch along one axis, the centre along both.
    const int sx[4] = {src.left(), src.left() + c.left(), src.right() + 1 - c.right(), src.right() + 1};
    const int sy[4] = {src.top(), src.top() + c.top(), src.bottom() + 1 - c.bottom(), src.bottom() + 1};
    const int dx[4] = {dst.left(), dst.left() + c.left(), dst.right() + 1 - c.right(), dst.right() + 1};
    const int dy[4] = {dst.top(), dst.top() + c.top(), dst.bottom() + 1 - c.bottom(), dst.bottom() + 1};
    for (int row = 0; row < 3; ++row) {
      for (int col = 0; col < 3; ++col) {
        if (d.hole && row == 1 && col == 1) continue;
        const QRect s(QPoint(sx[col], sy[row]), QPoint(sx[col + 1] - 1, sy[row + 1] - 1));
        const QRect t(QPoint(dx[col], dy[row]), QPoint(dx[col + 1] - 1, dy[row + 1] - 1));
        if (s.width() > 0 && s.height() > 0 && t.width() > 0 && t.height() > 0)
          painter.drawImage(t, image, s);
      }
    }
  }
  painter.restore();
  return true;
}

}  // namespace snapsave::ui
