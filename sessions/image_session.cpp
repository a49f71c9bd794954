#include "sessions/image_session.h"

#include <string>

#include <fmt/core.h>

#include "os/text.h"

namespace snapsave {

ImageSession::ImageSession(ProgressView& view, std::filesystem::path imagePath,
                           std::vector<ScanTarget*> targets, std::filesystem::path wholeDisk, int retries)
    : Session(view),
      imagePath_(std::move(imagePath)),
      targets_(std::move(targets)),
      wholeDisk_(std::move(wholeDisk)) {
  writer_.UseRescuePasses(retries, "snapsave image " + os::Utf8OfPath(imagePath_));
}

void ImageSession::Run() {
  {
    Report report(*this);
    view_.SetLine(ViewLine::kStage, Prefixed(view_.Message("MSG0302"), os::Utf8OfPath(imagePath_)));
  }
  if (targets_.empty()) {
    result_ = !wholeDisk_.empty() ? writer_.CreateImage(wholeDisk_, 0, 0, imagePath_, OnImageProgress, this)
                                  : static_cast<int32_t>(err::kInvalidParameter);
  } else if (const ScanTarget& target = *targets_.front(); target.IsDisk()) {
    const VolumeInfo& v = *target.volume;
    writer_.UseVolumePieces(v.pieces);
    // A whole disk listed without volumes has no count of its own to trust beyond the device's length.
    result_ =
        writer_.CreateImage(v.diskPath, v.startSector, v.kind == EntryKind::kWholeDisk ? 0 : v.sectorCount,
                            imagePath_, OnImageProgress, this);
  } else {
    result_ = writer_.CreateImageFromFile(target.imagePath, 0, 0, imagePath_, OnImageProgress, this);
  }
  // What the map says: rescued, bad and not yet read, then which sectors were bad.
  std::string summary = writer_.Map().Size() != 0 ? DescribeRescueMap(writer_.Map()) : std::string();
  if (const std::string bad = DescribeBadSectors(writer_); !bad.empty())
    summary += (summary.empty() ? "" : "; ") + bad;
  if (!summary.empty()) {
    Report report(*this);
    view_.SetLine(ViewLine::kCount, summary);
  }
  MarkDone();
  view_.Close(result_ == ScanCancelled ? kEndCancelled : result_ == 0 ? kEndFinished : kEndFailed);
}

int32_t ImageSession::OnImageProgress(void* context, int32_t percent, uint64_t sectorsDone,
                                      uint64_t totalSectors, int32_t secondsLeft) {
  auto* session = static_cast<ImageSession*>(context);
  Report report(*session);
  if (!report.Go()) return ScanCancelled;
  ProgressView& view = session->view_;
  view.SetLine(ViewLine::kPercent, Percented(view.Message("MSG0301"), percent));
  view.SetBar(percent);
  view.SetLine(ViewLine::kTime,
               secondsLeft == -1
                   ? view.Message("MSG0304")
                   : Prefixed(view.Message("MSG0305"),
                              FormatDuration(static_cast<uint64_t>(secondsLeft < 0 ? 0 : secondsLeft))));
  view.SetLine(ViewLine::kSectors, OutOf(view.Message("MSG0303"), sectorsDone, totalSectors));
  // The rescue reports from the copying thread, which is this one: its map is safe to read here.
  if (const RescueMap& map = session->writer_.Map(); map.Size() != 0)
    view.SetLine(ViewLine::kCount, DescribeRescueMap(map));
  return 0;
}

std::string DescribeBadSectors(const DiskImageWriter& writer, size_t maxRanges) {
  const auto& ranges = writer.BadSectors();
  if (ranges.empty()) return {};
  std::string text = fmt::format("{} unreadable sector{} written as zeros:", writer.BadSectorCount(),
                                 writer.BadSectorCount() == 1 ? " was" : "s were");
  for (size_t i = 0; i < ranges.size() && i < maxRanges; ++i) {
    const auto& r = ranges[i];
    text += i == 0 ? " " : ", ";
    text += r.count == 1 ? fmt::format("{}", r.firstSector)
                         : fmt::format("{}-{}", r.firstSector, r.firstSector + r.count - 1);
  }
  if (ranges.size() > maxRanges) text += fmt::format(" and {} more stretches", ranges.size() - maxRanges);
  return text;
}

std::string DescribeRescueMap(const RescueMap& map) {
  size_t badAreas = 0;
  for (const RescueMap::Range& r : map.Ranges()) badAreas += r.status == BlockStatus::kBad ? 1 : 0;
  const uint64_t pending = map.Bytes(BlockStatus::kNonTried) + map.Bytes(BlockStatus::kNonTrimmed) +
                           map.Bytes(BlockStatus::kNonScraped);
  return fmt::format("rescued {}, bad {} in {} area{}, not yet read {}",
                     os::HumanSize(map.Bytes(BlockStatus::kFinished)),
                     os::HumanSize(map.Bytes(BlockStatus::kBad)), badAreas, badAreas == 1 ? "" : "s",
                     os::HumanSize(pending));
}

}  // namespace snapsave
