#include "app/preview.h"

#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <string_view>

#include "filetypes/file_categories.h"
#include "ui/controls.h"

namespace snapsave::app {

void ShowTextInBox(ui::CRichEditUI* box, const QString& text) {
  if (box != nullptr) box->ShowCentredText(text);
}

bool ShowPictureInBox(ui::CRichEditUI* box, const QString& path, const QString& fallback) {
  if (box == nullptr || path.isEmpty() || !QFileInfo(path).isFile()) return false;
  // The temporary copy is named tmp.avi whatever it holds: the content decides the format.
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  const QImage image = reader.read();
  box->Clear();
  if (!box->InsertImage(image)) ShowTextInBox(box, fallback);
  return true;
}

namespace {

bool WhiteSpace(char16_t c) {
  return c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f' || c == u'\v';
}

// Decoded bytes read as text when control characters (other than white space), C1 controls and replacement
// characters are rare, and there is no NUL.
bool LooksLikeText(const QString& s) {
  qsizetype odd = 0;
  for (const QChar c : s) {
    const char16_t u = c.unicode();
    if (u == 0) return false;
    if ((u < 0x20 && !WhiteSpace(u)) || (u >= 0x7F && u < 0xA0) || u == 0xFFFD) ++odd;
  }
  return odd * 100 <= s.size();
}

QString Utf16(std::span<const uint8_t> b, bool bigEndian) {
  QString s;
  s.reserve(static_cast<qsizetype>(b.size() / 2));
  for (size_t i = 0; i + 1 < b.size(); i += 2)
    s.append(QChar(static_cast<char16_t>(bigEndian ? b[i] << 8 | b[i + 1] : b[i + 1] << 8 | b[i])));
  return s;
}

// UTF-8 without its last character when the cut at the preview's size split it; nothing when invalid.
std::optional<QString> Utf8(std::span<const uint8_t> b) {
  size_t end = b.size();
  for (size_t back = 1; back <= std::min<size_t>(3, b.size()); ++back) {
    const uint8_t lead = b[b.size() - back];
    if ((lead & 0xC0) == 0x80) continue;
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length > back) end = b.size() - back;
    break;
  }
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder(QByteArrayView(b.data(), static_cast<qsizetype>(end)));
  if (decoder.hasError()) return std::nullopt;
  return text;
}

// UTF-16 without a byte-order mark: one byte of each pair is zero nearly always, the other never.
std::optional<bool> Utf16Order(std::span<const uint8_t> b) {
  const size_t pairs = std::min<size_t>(b.size(), 4096) / 2;
  if (pairs < 2) return std::nullopt;
  size_t zeroLow = 0, zeroHigh = 0;
  for (size_t i = 0; i < pairs; ++i) {
    zeroLow += b[2 * i] == 0 ? 1u : 0u;
    zeroHigh += b[2 * i + 1] == 0 ? 1u : 0u;
  }
  if (zeroHigh * 10 >= pairs * 9 && zeroLow == 0) return false;  // little-endian
  if (zeroLow * 10 >= pairs * 9 && zeroHigh == 0) return true;
  return std::nullopt;
}

QString HexLines(std::span<const uint8_t> b, int perLine) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto n = static_cast<size_t>(std::max(1, perLine));
  QString out;
  out.reserve(static_cast<qsizetype>((b.size() / n + 1) * (6 + 4 * n)));
  for (size_t at = 0; at < b.size(); at += n) {
    // Four digits reach every offset of the 64 KiB shown.
    for (int shift = 12; shift >= 0; shift -= 4) out.append(QLatin1Char(kDigits[(at >> shift) & 0xF]));
    out.append(QLatin1Char(' '));
    for (size_t k = 0; k < n; ++k) {
      if (at + k < b.size()) {
        out.append(QLatin1Char(kDigits[b[at + k] >> 4]));
        out.append(QLatin1Char(kDigits[b[at + k] & 0xF]));
        out.append(QLatin1Char(' '));
      } else {
        out.append(QLatin1String("   "));
      }
    }
    for (size_t k = 0; k < n && at + k < b.size(); ++k) {
      const uint8_t c = b[at + k];
      out.append(QLatin1Char(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.'));
    }
    if (at + n < b.size()) out.append(QLatin1Char('\n'));
  }
  return out;
}

bool InList(std::string_view list, const QString& extension) {
  if (extension.isEmpty()) return false;
  const std::string needle = "*." + extension.toLower().toStdString() + "|";
  return list.find(needle) != std::string_view::npos;
}
}  // namespace

BytesPreview PreviewOfBytes(std::span<const uint8_t> all, int perLine) {
  const std::span<const uint8_t> b = all.first(std::min(all.size(), kPreviewTextBytes));
  auto startsWith = [&](std::initializer_list<uint8_t> mark) {
    return b.size() >= mark.size() && std::equal(mark.begin(), mark.end(), b.begin());
  };
  std::optional<QString> text;
  if (startsWith({0xEF, 0xBB, 0xBF})) {
    text = Utf8(b.subspan(3));
  } else if (startsWith({0xFF, 0xFE}) || startsWith({0xFE, 0xFF})) {
    text = Utf16(b.subspan(2), b[0] == 0xFE);
  } else if (const std::optional<bool> bigEndian = Utf16Order(b)) {
    text = Utf16(b, *bigEndian);
  } else if (!(text = Utf8(b)) || !LooksLikeText(*text)) {
    text = QString::fromLatin1(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
  }
  if (text && LooksLikeText(*text)) return {true, *text};
  return {false, HexLines(b, perLine)};
}

int HexBytesPerLine(int columns) {
  // "0000 41 42 43 44 ABCD": the offset and a space, then three columns and one character a byte.
  for (int n = 16; n > 1; n /= 2)
    if (5 + 4 * n <= columns) return n;
  return 1;
}

MediaKind MediaKindOf(const QString& fileName) {
  const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
  const QString extension = dot < 0 ? QString() : fileName.mid(dot + 1);
  MediaKind kind;
  kind.isAudio = InList(kAudioList, extension);
  kind.isMedia = kind.isAudio || InList(kVideoList, extension);
  return kind;
}

MediaPlayers::MediaPlayers(std::filesystem::path programDirectory)
    : programDirectory_(std::move(programDirectory)) {}

MediaPlayers::~MediaPlayers() {
  EndAll();
}

QStringList MediaPlayers::Command(bool audio, const QString& file) const {
  const std::filesystem::path own = programDirectory_ / (audio ? "Player1" : "Player");
  if (QFileInfo(QString::fromStdString(own.string())).isExecutable())
    return {QString::fromStdString(own.string()), file};
  const QString mpv = QStandardPaths::findExecutable(QStringLiteral("mpv"));
  if (!mpv.isEmpty())
    return {mpv, QStringLiteral("--force-window=yes"), QStringLiteral("--term-status-msg=${percent-pos}%"),
            QStringLiteral("--"), file};
  const QString ffplay = QStandardPaths::findExecutable(QStringLiteral("ffplay"));
  if (!ffplay.isEmpty())
    return {ffplay, QStringLiteral("-autoexit"), QStringLiteral("-loglevel"), QStringLiteral("error"), file};
  return {};
}

QProcess* MediaPlayers::Start(const QStringList& command) {
  if (command.isEmpty()) return nullptr;
  auto process = std::make_unique<QProcess>();
  process->setProcessChannelMode(QProcess::MergedChannels);
  process->setStandardInputFile(QProcess::nullDevice());
  process->start(command.front(), command.mid(1));
  if (!process->waitForStarted(3000)) return nullptr;
  players_.push_back(std::move(process));
  return players_.back().get();
}

bool MediaPlayers::PlayVideo(const QString& file, std::function<void()> onNoPlayback, int settleMs) {
  QProcess* player = Start(Command(false, file));
  if (player == nullptr) {
    if (onNoPlayback) onNoPlayback();
    return false;
  }
  // Decided once: progress shown, still running when the settle time is up, or ended without either.
  auto decided = std::make_shared<bool>(false);
  auto settle = [decided, onNoPlayback](bool started) {
    if (*decided) return;
    *decided = true;
    if (!started && onNoPlayback) onNoPlayback();
  };
  QObject::connect(player, &QProcess::readyRead, player, [player, settle] {
    if (player->readAll().contains('%')) settle(true);
  });
  QObject::connect(player, &QProcess::finished, player,
                   [player, settle] { settle(player->readAll().contains('%')); });
  QTimer::singleShot(settleMs, player, [player, settle] { settle(player->state() == QProcess::Running); });
  return true;
}

bool MediaPlayers::PlayAudio(const QString& file) {
  return Start(Command(true, file)) != nullptr;
}

void MediaPlayers::EndAll() {
  for (auto& player : players_) {
    // Ended on purpose: not a failed playback.
    QObject::disconnect(player.get(), nullptr, nullptr, nullptr);
    if (player->state() == QProcess::NotRunning) continue;
    player->terminate();
    if (!player->waitForFinished(1000)) {
      player->kill();
      player->waitForFinished(1000);
    }
  }
  players_.clear();
}

int MediaPlayers::RunningCount() const {
  int n = 0;
  for (const auto& player : players_) n += player->state() != QProcess::NotRunning ? 1 : 0;
  return n;
}

}  // namespace snapsave::app
