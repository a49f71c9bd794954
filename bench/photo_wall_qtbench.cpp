// The photo wall over 10,000 found photos: every thumbnail made by scrolling the wall from top to bottom,
// each from a 12-megapixel camera JPEG decoded at the cell's size, as the program does from a photo's data.
// Measured: how late a 10 ms heartbeat timer runs while the thumbnails are made (goal: the window handles its
// events within 100 ms), the thumbnails kept and the process's peak memory (goal: bounded, not growing with
// the photos), and the time per thumbnail against the baseline of decoding the same JPEG whole, as a preview
// of it does, measured in the same run.
#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "app/photo_wall.h"
#include "app/result_views.h"
#include "ui/list.h"

namespace {

using namespace snapsave;

// A photo-like picture: gradients and noise, so that the JPEG is as large as a camera's.
QByteArray CameraJpeg() {
  QImage image(4000, 3000, QImage::Format_RGB32);
  std::mt19937 rng(3);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      line[x] = qRgb((x / 16 + static_cast<int>(rng() % 24)) & 0xFF,
                     (y / 12 + static_cast<int>(rng() % 24)) & 0xFF, ((x + y) / 28) & 0xFF);
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG", 90);
  return bytes;
}

QImage Decode(const QByteArray& jpeg, QSize size) {
  QBuffer buffer;
  buffer.setData(jpeg);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "JPG");
  if (size.isValid()) reader.setScaledSize(reader.size().scaled(size, Qt::KeepAspectRatio));
  return reader.read();
}

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int photos = argc > 1 ? std::atoi(argv[1]) : 10000;
  const QByteArray jpeg = CameraJpeg();

  // Baseline: the whole picture decoded, as a preview does.
  QElapsedTimer clock;
  clock.start();
  constexpr int kBaselineRuns = 10;
  for (int i = 0; i < kBaselineRuns; ++i) (void)Decode(jpeg, {});
  const double wholeMs = static_cast<double>(clock.elapsed()) / kBaselineRuns;

  RecordList records;
  for (int i = 0; i < photos; ++i) {
    FoundFileRecord r = MakeEmptyRecord();
    r.SetName("IMG_" + std::to_string(1000 + i) + ".JPG");
    r.fileSize = static_cast<uint64_t>(jpeg.size());
    r.isIntact = i % 50 != 0 ? 1 : 0;
    r.recordId = static_cast<uint32_t>(i + 1);
    records.push_back(r);
  }
  app::CListExUI list;
  list.Fill(std::make_shared<const RecordList>(std::move(records)), {});
  app::CPhotoWallUI wall;
  wall.SetList(&list);
  int made = 0;
  wall.SetThumbnailer([&](const FoundFileRecord&, QSize size) {
    ++made;
    return Decode(jpeg, size);
  });
  wall.resize(900, 600);
  wall.show();
  wall.Reload();

  // The heartbeat: how late each 10 ms tick comes is how long an event waits.
  qint64 worstLateMs = 0, last = 0;
  QElapsedTimer beat;
  beat.start();
  QTimer heart;
  heart.setInterval(10);
  QObject::connect(&heart, &QTimer::timeout, [&] {
    const qint64 now = beat.elapsed();
    worstLateMs = std::max(worstLateMs, now - last - 10);
    last = now;
  });
  heart.start();
  clock.restart();
  auto* bar = wall.findChild<QScrollBar*>();
  size_t mostKept = 0;
  // Scrolls a page at a time once the visible cells have their thumbnails, as a user looking through would.
  QTimer::singleShot(0, [&] {
    auto step = std::make_shared<std::function<void()>>();
    *step = [&, step] {
      const auto [first, lastRow] = wall.VisibleRows();
      bool done = true;
      for (int row = first; row < lastRow; ++row) done = done && wall.Tried(row);
      mostKept = std::max(mostKept, wall.Kept());
      if (done) {
        if (bar->value() >= bar->maximum()) return app.quit();
        bar->setValue(bar->value() + bar->pageStep());
      }
      QTimer::singleShot(5, *step);
    };
    (*step)();
  });
  last = beat.elapsed();
  app.exec();
  const double totalMs = static_cast<double>(clock.elapsed());
  std::printf(
      "photos %d, thumbnails made %d in %.1f s: %.1f ms each; whole decode (baseline) %.1f ms: %.1fx\n",
      photos, made, totalMs / 1000, totalMs / std::max(made, 1), wholeMs,
      wholeMs / (totalMs / std::max(made, 1)));
  std::printf("events waited at most %lld ms (goal: under 100 ms)\n", static_cast<long long>(worstLateMs));
  std::printf("thumbnails kept at most %zu (bound %zu); peak memory %.1f MiB\n", mostKept,
              app::CPhotoWallUI::kMaxKept, static_cast<double>(PeakKiB()) / 1024);
  return 0;
}
