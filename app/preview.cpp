#include "app/preview.h"

#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

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
bool InList(std::string_view list, const QString& extension) {
  if (extension.isEmpty()) return false;
  const std::string needle = "*." + extension.toLower().toStdString() + "|";
  return list.find(needle) != std::string_view::npos;
}
}  // namespace

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
