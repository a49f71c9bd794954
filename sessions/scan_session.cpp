#include "sessions/scan_session.h"

#include <chrono>
#include <string>
#include <thread>

#include <fmt/core.h>

#include "engines/engine_factory.h"
#include "filetypes/file_categories.h"
#include "os/text.h"

namespace snapsave {

IFileRecoveryParse* FindEngine(std::span<ScanTarget* const> targets, uint16_t driveLetter) {
  for (ScanTarget* target : targets) {
    if (target != nullptr && target->DriveLetter() == driveLetter) return target->engine.get();
  }
  return nullptr;
}

VolumeSource SourceOf(const ScanTarget& target) {
  if (!target.IsDisk()) return ImageVolume(target.imagePath, target.imageDriveLetter);
  const VolumeInfo& v = *target.volume;
  VolumeSource source;
  source.disk = v.diskPath;
  source.diskNumber = v.diskNumber;
  source.diskIsImage = v.diskIsImage;
  source.startSector = v.startSector;
  source.sectorCount = v.sectorCount;
  source.driveLetter = v.driveLetter;
  source.pieces = v.pieces;
  return source;
}

EngineMaker DefaultEngineMaker(SavedScanStore& store) {
  return [&store](const ScanTarget& target, bool deep) -> std::unique_ptr<IFileRecoveryParse> {
    return CreateScanEngine(store, SourceOf(target), deep);
  };
}

std::string TargetStage(ProgressView& view, const ScanTarget& target, std::string_view letterId,
                        std::string_view numberId, std::string_view imageId) {
  if (!target.IsDisk()) return Prefixed(view.Message(imageId), os::Utf8OfPath(target.imagePath.filename()));
  const char16_t letter = target.volume->driveLetter;
  const bool isLetter = (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
  if (isLetter) {
    const char c = static_cast<char>(letter);
    return FormatMessage(view.Message(letterId), {std::string_view(&c, 1)});
  }
  return FormatMessage(view.Message(numberId), {std::to_string(static_cast<uint32_t>(letter))});
}

ScanSession::ScanSession(ProgressView& view, std::vector<ScanTarget*> targets, bool deep,
                         EngineMaker makeEngine)
    : Session(view), targets_(std::move(targets)), deep_(deep), makeEngine_(std::move(makeEngine)) {}

void ScanSession::Run() {
  results_.clear();
  if (targets_.empty()) return;
  for (ScanTarget* target : targets_) {
    {
      Report report(*this);
      // A cancel confirmed between two targets ends the session; the next target keeps its old engine.
      if (!report.Go()) break;
      view_.SetLine(ViewLine::kStage, TargetStage(view_, *target, "MSG0701", "MSG0702", "MSG0703"));
    }
    target->engine.reset();
    target->engine = makeEngine_(*target, deep_);
    if (!target->engine) {
      view_.Close(kEndFailed);
      return;
    }
    if (deep_) {
      DeepScanControl* deep = target->engine->DeepControl();
      if (deep != nullptr && deep->HasSavedProgress() &&
          !view_.AskYesNo(deep->SavedScanFinished() ? "MSG1208" : "MSG1206")) {
        deep->DiscardSavedProgress();
      }
    }
    target->engine->SetCallbacks(OnScanProgress, nullptr, this, 100);
    const int32_t result = target->engine->Scan({});
    // The engine stays with the target for browsing; it must not call back into a session that is gone.
    target->engine->SetCallbacks(nullptr, nullptr, nullptr, 100);
    results_.push_back(result);
    if (result == ScanCancelled) break;
  }
  MarkDone();
  view_.NotifyOwner(kScanDoneMessage);
  view_.Close(kEndFinished);
}

std::optional<int32_t> ScanSession::StoppedAt() const {
  if (results_.empty() || results_.back() != ScanCancelled) return std::nullopt;
  return bar_.load();
}

int32_t ScanSession::OnScanProgress(void* context, int32_t progress, int32_t weight, int32_t secondsLeft,
                                    uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                                    uint32_t) {
  auto* session = static_cast<ScanSession*>(context);
  const int32_t bar = progress * weight / 100;
  session->bar_ = bar;
  Report report(*session);
  if (!report.Go()) return ScanCancelled;
  ProgressView& view = session->view_;
  const bool known = secondsLeft >= 0 && weight >= 90;
  if (secondsLeft < 0 && weight == 100) {
    view.SetLine(ViewLine::kTime, "");
  } else {
    view.SetLine(ViewLine::kTime,
                 known ? view.Message("MSG0708") + FormatDuration(static_cast<uint64_t>(secondsLeft))
                       : view.Message("MSG0705"));
  }
  view.SetBar(bar);
  view.SetLine(ViewLine::kPercent, Percented(view.Message("MSG0704"), bar));
  if (totalSectors == 0) {
    view.ShowLine(ViewLine::kSectors, false);
    view.ShowLine(ViewLine::kFiles, false);
  } else {
    view.SetLine(ViewLine::kSectors, OutOf(view.Message("MSG0706"), currentSector, totalSectors));
    view.SetLine(ViewLine::kFiles, Prefixed(view.Message("MSG0707"), std::to_string(filesFound)));
    view.ShowLine(ViewLine::kSectors, true);
    view.ShowLine(ViewLine::kFiles, true);
  }
  return 0;
}

SearchSession::SearchSession(ProgressView& view, std::vector<ScanTarget*> targets, std::string extensionList,
                             RecordList& results)
    : Session(view),
      targets_(std::move(targets)),
      extensionList_(std::move(extensionList)),
      results_(results) {}

void SearchSession::Run() {
  if (targets_.empty()) {
    view_.Close(kEndFinished);
    MarkDone();
    return;
  }
  for (ScanTarget* target : targets_) {
    if (!target->engine) {
      view_.Close(kEndFinished);
      return;
    }
    {
      Report report(*this);
      view_.SetLine(ViewLine::kStage, TargetStage(view_, *target, "MSG1201", "MSG1202", "MSG1203"));
    }
    target->engine->SetSearchCallback(OnSearchProgress, this);
    // Each target's results are sorted in themselves; a cancelled search keeps what it found so far.
    RecordList found;
    target->engine->SearchByType(extensionList_, found);
    target->engine->SetSearchCallback(nullptr, nullptr);
    results_.insert(results_.end(), found.begin(), found.end());
    if (CancelRequested()) break;
  }
  MarkDone();
  view_.NotifyOwner(kSearchDoneMessage);
  view_.Close(kEndFinished);
}

int32_t SearchSession::OnSearchProgress(void* context, int32_t percent, int32_t) {
  return static_cast<SearchSession*>(context)->ReportPercent("MSG1204", percent);
}

PreviewSession::PreviewSession(ProgressView& view, std::vector<ScanTarget*> targets,
                               const FoundFileRecord& record, size_t capacity, PreviewResult& result,
                               std::function<void()> releaseTemporaryFile)
    : Session(view),
      targets_(std::move(targets)),
      record_(record),
      capacity_(capacity),
      result_(result),
      releaseTemporaryFile_(std::move(releaseTemporaryFile)) {}

void PreviewSession::Run() {
  result_ = PreviewResult{};
  result_.record = record_;
  IFileRecoveryParse* engine = FindEngine(targets_, record_.driveLetter);
  const std::string_view name = record_.Name();
  const size_t dot = name.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
  const std::string probe = "x" + std::string(extension);
  if (NameExtensionInList(probe, kAudioList)) {
    result_.isMedia = true;
    result_.isAudio = true;
  } else if (NameExtensionInList(probe, kVideoList)) {
    result_.isMedia = true;
  }
  if (releaseTemporaryFile_) {
    releaseTemporaryFile_();
    if (result_.isMedia) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  int32_t code = static_cast<int32_t>(err::kInvalidParameter);
  if (engine != nullptr) {
    result_.data.assign(capacity_, 0);
    uint32_t size = 0;
    code = static_cast<int32_t>(
        engine->ExtractForPreview(&record_, result_.path, result_.data, size, OnPreviewProgress, this));
    result_.data.resize(std::min<size_t>(size, result_.data.size()));
  }
  result_.error = code == ScanCancelled ? 0 : static_cast<uint32_t>(code);
  MarkDone();
  view_.Close(code == ScanCancelled ? kEndCancelled : kEndFinished);
}

int32_t PreviewSession::OnPreviewProgress(void* context, int32_t percent, uint32_t) {
  return static_cast<PreviewSession*>(context)->ReportPercent("MSG0901", percent);
}

}  // namespace snapsave
