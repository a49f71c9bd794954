#include "ui/skin_archive.h"

#include <stb_image.h>
#include <unzip.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace snapsave::ui {
namespace {

// No entry of a skin comes near this; it stops a crafted archive from inflating without bound.
constexpr uint64_t kMaxEntryBytes = 64ull << 20;
constexpr uint64_t kMaxEntries = 10000;

struct MemoryStream {
  std::span<const uint8_t> data;
  uint64_t pos = 0;
};

voidpf ZCALLBACK MemOpen(voidpf opaque, const void*, int) {
  return opaque;
}

uLong ZCALLBACK MemRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto* s = static_cast<MemoryStream*>(stream);
  const uint64_t left = s->pos < s->data.size() ? s->data.size() - s->pos : 0;
  const uint64_t n = std::min<uint64_t>(size, left);
  if (n > 0) std::memcpy(buf, s->data.data() + s->pos, static_cast<size_t>(n));
  s->pos += n;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK MemWrite(voidpf, voidpf, const void*, uLong) {
  return 0;
}

ZPOS64_T ZCALLBACK MemTell(voidpf, voidpf stream) {
  return static_cast<MemoryStream*>(stream)->pos;
}

long ZCALLBACK MemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* s = static_cast<MemoryStream*>(stream);
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      base = 0;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s->pos;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = s->data.size();
      break;
    default:
      return -1;
  }
  if (offset > s->data.size() || base + offset > s->data.size()) return -1;
  s->pos = base + offset;
  return 0;
}

int ZCALLBACK MemClose(voidpf, voidpf) {
  return 0;
}
int ZCALLBACK MemError(voidpf, voidpf) {
  return 0;
}

void SetError(QString* error, const QString& text) {
  if (error) *error = text;
}

}  // namespace

QString SkinArchive::Key(const QString& name) {
  QString key = name;
  key.replace(QLatin1Char('\\'), QLatin1Char('/'));
  while (key.startsWith(QLatin1Char('/'))) key.remove(0, 1);
  return key.toLower();
}

bool SkinArchive::LoadZip(std::span<const uint8_t> zip, QString* error) {
  entries_.clear();
  images_.clear();
  MemoryStream stream{zip, 0};
  zlib_filefunc64_def io{};
  io.zopen64_file = MemOpen;
  io.zread_file = MemRead;
  io.zwrite_file = MemWrite;
  io.ztell64_file = MemTell;
  io.zseek64_file = MemSeek;
  io.zclose_file = MemClose;
  io.zerror_file = MemError;
  io.opaque = &stream;
  unzFile uf = unzOpen2_64("skin", &io);
  if (!uf) {
    SetError(error, QStringLiteral("skin archive is not a readable zip file"));
    return false;
  }
  QHash<QString, QByteArray> entries;
  bool ok = true;
  uint64_t count = 0;
  for (int rc = unzGoToFirstFile(uf); rc == UNZ_OK; rc = unzGoToNextFile(uf)) {
    if (++count > kMaxEntries) {
      SetError(error, QStringLiteral("skin archive has too many entries"));
      ok = false;
      break;
    }
    unz_file_info64 info{};
    char name[512] = {};
    if (unzGetCurrentFileInfo64(uf, &info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) != UNZ_OK) {
      SetError(error, QStringLiteral("skin archive has a damaged directory entry"));
      ok = false;
      break;
    }
    const QString entryName = QString::fromUtf8(name);
    if (entryName.endsWith(QLatin1Char('/'))) continue;  // folder
    if (info.uncompressed_size > kMaxEntryBytes) {
      SetError(error, QStringLiteral("skin entry %1 is too large").arg(entryName));
      ok = false;
      break;
    }
    if (unzOpenCurrentFile(uf) != UNZ_OK) {
      SetError(error, QStringLiteral("skin entry %1 cannot be opened").arg(entryName));
      ok = false;
      break;
    }
    QByteArray data(static_cast<qsizetype>(info.uncompressed_size), Qt::Uninitialized);
    // Read one byte more than declared so that a size that lies is noticed.
    char extra = 0;
    const int got =
        data.isEmpty() ? 0 : unzReadCurrentFile(uf, data.data(), static_cast<unsigned>(data.size()));
    const int more = unzReadCurrentFile(uf, &extra, 1);
    const int closeRc = unzCloseCurrentFile(uf);  // checks the CRC
    if (got != data.size() || more != 0 || closeRc != UNZ_OK) {
      SetError(error, QStringLiteral("skin entry %1 is damaged").arg(entryName));
      ok = false;
      break;
    }
    entries.insert(Key(entryName), std::move(data));
  }
  unzClose(uf);
  if (ok) entries_ = std::move(entries);
  return ok;
}

void SkinArchive::AddEntry(const QString& name, QByteArray data) {
  const QString key = Key(name);
  images_.remove(key);
  entries_.insert(key, std::move(data));
}

bool SkinArchive::Contains(const QString& name) const {
  return entries_.contains(Key(name));
}

QByteArray SkinArchive::Entry(const QString& name) const {
  return entries_.value(Key(name));
}

QImage SkinArchive::Image(const QString& name) const {
  const QString key = Key(name);
  auto cached = images_.constFind(key);
  if (cached != images_.constEnd()) return *cached;
  QImage image;
  auto entry = entries_.constFind(key);
  if (entry != entries_.constEnd()) image = DecodeImage(*entry);
  images_.insert(key, image);
  return image;
}

SkinArchive& SkinArchive::Current() {
  static SkinArchive skin;
  return skin;
}

QImage DecodeImage(const QByteArray& bytes) {
  if (bytes.isEmpty() || bytes.size() > std::numeric_limits<int>::max()) return {};
  int w = 0, h = 0, channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.constData()),
                                          static_cast<int>(bytes.size()), &w, &h, &channels, 4);
  if (!pixels) return {};
  QImage image(
      pixels, w, h, w * 4, QImage::Format_RGBA8888, [](void* p) { stbi_image_free(p); }, pixels);
  return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace snapsave::ui
