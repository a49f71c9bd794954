// Image descriptors: "file='Controls.png' source='l,t,r,b' dest='l,t,r,b' corner='l,t,r,b'", or a bare file
// name.
#pragma once

#include <QMargins>
#include <QPainter>
#include <QRect>
#include <QString>

#include <optional>

namespace snapsave::ui {

class SkinArchive;

struct ImageDescriptor {
  QString file;
  std::optional<QRect> source;  // part of the image to use; the whole image when absent
  std::optional<QRect> dest;    // where to draw, relative to the control; the whole control when absent
  QMargins corner;              // nine-slice borders in source pixels, kept unstretched
  int fade = 255;               // opacity 0..255
  bool hole = false;            // skip the centre of a nine-slice

  bool Empty() const { return file.isEmpty(); }
};

// Parses a descriptor; nullopt (and a reason) when it is malformed. An empty text gives an empty descriptor.
std::optional<ImageDescriptor> ParseImageDescriptor(const QString& text, QString* error = nullptr);

// Parses "l,t,r,b" into a rectangle from (l,t) to (r,b).
std::optional<QRect> ParseRect(const QString& text);
std::optional<QMargins> ParseMargins(const QString& text);

// Draws the descriptor into `bounds` (control coordinates). False when the image is not in the skin.
bool DrawImage(QPainter& painter, const SkinArchive& skin, const QRect& bounds, const ImageDescriptor& image);

}  // namespace snapsave::ui
