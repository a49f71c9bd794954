// The skin: layouts and images read from a zip archive held in memory.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QString>

#include <cstdint>
#include <span>

namespace snapsave::ui {

class SkinArchive {
 public:
  // Reads every entry of a zip archive. Entry names use "/" whatever the archive stored; lookups fold case
  // because layouts written for case-insensitive file systems name files loosely. Returns false and leaves
  // the skin empty when the archive is damaged; `error` then says why.
  bool LoadZip(std::span<const uint8_t> zip, QString* error = nullptr);
  // Adds or replaces one entry; tests and tools build small skins this way.
  void AddEntry(const QString& name, QByteArray data);

  bool Contains(const QString& name) const;
  // Empty when missing.
  QByteArray Entry(const QString& name) const;
  // Decoded once and cached; a null image when missing or not decodable.
  QImage Image(const QString& name) const;
  qsizetype EntryCount() const { return entries_.size(); }

  // The process-wide skin that windows load their layouts from.
  static SkinArchive& Current();

 private:
  static QString Key(const QString& name);
  QHash<QString, QByteArray> entries_;
  mutable QHash<QString, QImage> images_;
};

// Decodes PNG (and the other formats stb_image knows) into a premultiplied ARGB image; null on failure.
QImage DecodeImage(const QByteArray& bytes);

}  // namespace snapsave::ui
