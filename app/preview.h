// Showing a previewed file: pictures, text and the hex view inside the results page's preview box, audio and
// video in an external player that this program starts, watches and ends.
#pragma once

#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

class QProcess;

namespace snapsave::ui {
class CRichEditUI;
}

namespace snapsave::app {

// One centred paragraph replacing the box's content.
void ShowTextInBox(ui::CRichEditUI* box, const QString& text);
// The picture at `path` centred in the box, shrunk to its width; `fallback` as text when it cannot be
// decoded. False when there is no box or no such file.
bool ShowPictureInBox(ui::CRichEditUI* box, const QString& path, const QString& fallback);

// The first bytes of a file that is not a picture, as the preview box shows them.
struct BytesPreview {
  bool isText = false;
  QString content;  // the text, or the hex lines
};
inline constexpr size_t kPreviewTextBytes = 64 * 1024;
// The first 64 KiB of `bytes` as text when they are text (UTF-8, UTF-16 with or without a byte-order mark,
// Latin-1), otherwise as hex lines of `perLine` bytes: offset, bytes, characters.
BytesPreview PreviewOfBytes(std::span<const uint8_t> bytes, int perLine);
// The bytes a hex line holds (16, 8, 4, 2 or 1) in `columns` characters.
int HexBytesPerLine(int columns);

// Whether a name's extension is in the audio or the video list; "rm" is in both and counts as audio.
struct MediaKind {
  bool isMedia = false;
  bool isAudio = false;
};
MediaKind MediaKindOf(const QString& fileName);

// The external players: "Player" (video) and "Player1" (audio) beside the program when present, else mpv,
// else ffplay. Only processes started here are ever ended.
class MediaPlayers {
 public:
  explicit MediaPlayers(std::filesystem::path programDirectory);
  ~MediaPlayers();
  MediaPlayers(const MediaPlayers&) = delete;
  MediaPlayers& operator=(const MediaPlayers&) = delete;

  // Program and arguments for a file; empty when no player is installed.
  QStringList Command(bool audio, const QString& file) const;
  // Starts the video player. Playback counts as started once its output shows a "%" (a progress line) or it
  // is still running after `settleMs`; otherwise `onNoPlayback` runs, on this thread. False when no player
  // could be started (`onNoPlayback` has then run too).
  bool PlayVideo(const QString& file, std::function<void()> onNoPlayback, int settleMs = 5000);
  bool PlayAudio(const QString& file);
  // Ends every player started here and waits for them, so that the temporary file is free again.
  void EndAll();
  int RunningCount() const;

 private:
  QProcess* Start(const QStringList& command);

  std::filesystem::path programDirectory_;
  std::vector<std::unique_ptr<QProcess>> players_;
};

}  // namespace snapsave::app
