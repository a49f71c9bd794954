// Small skins built in memory for toolkit tests.
#pragma once

#include <QBuffer>
#include <QImage>
#include <QString>

#include "ui/skin_archive.h"

namespace snapsave::test {

inline QByteArray SolidPng(int w, int h, QColor color) {
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(color);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

// Replaces the current skin's entries with a clean set holding one image, "dot.png".
inline ui::SkinArchive& FreshSkin() {
  ui::SkinArchive& skin = ui::SkinArchive::Current();
  skin = ui::SkinArchive();
  skin.AddEntry(QStringLiteral("dot.png"), SolidPng(4, 4, Qt::red));
  return skin;
}

inline void AddLayout(const QString& name, const char* xml) {
  ui::SkinArchive::Current().AddEntry(name, QByteArray(xml));
}

}  // namespace snapsave::test
