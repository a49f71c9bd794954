#include "carve/file_type_recovery.h"

#include <fmt/core.h>

#include <algorithm>
#include <vector>

#include "catalog/recovery_output.h"
#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "os/clock.h"
#include "os/error.h"

namespace snapsave {

namespace fs = std::filesystem;
using namespace typecode;

namespace {

constexpr uint32_t kPieceBytes = 65536;

}  // namespace

CFileTypeRecovery::CFileTypeRecovery(SavedScanStore& store) : VolumeEngine(store) {
  context_.AcquireWorkBuffer();
}

CFileTypeRecovery::~CFileTypeRecovery() {
  if (catalogue_) catalogue_->Flush();
}

uint32_t CFileTypeRecovery::AttachCatalogue(std::string_view logName, FoundFileCatalogue::Mode mode) {
  catalogue_.reset();
  auto catalogue = std::make_unique<FoundFileCatalogue>();
  if (uint32_t e = OpenCatalogueFile(*catalogue, logName, mode); e != err::kSuccess) return e;
  catalogue_ = std::move(catalogue);
  pieces_.Open(catalogue_->RecordsPath(), catalogue_->TotalRecords(),
               mode == FoundFileCatalogue::Mode::kFresh);
  // A continued scan's joined files keep their second pieces from other files.
  for (const auto& [id, list] : pieces_.all()) {
    for (size_t i = 1; i < list.size(); ++i)
      context_.AddClaimedRange(list[i].firstSector, list[i].firstSector + list[i].sectors - 1);
  }
  return err::kSuccess;
}

uint32_t CFileTypeRecovery::OpenVolume() {
  return AttachCatalogue(MakeLogName(log_prefix::kFileType, volumeStart_, os::Now()),
                         FoundFileCatalogue::Mode::kFresh);
}

uint32_t CFileTypeRecovery::Attach(const VolumeSource& source, std::string_view logName, uint32_t sectorSize,
                                   FoundFileCatalogue::Mode mode) {
  driveLetter_ = source.driveLetter;
  sectorSize_ = sectorSize;
  // Streams carved on another source say nothing about this one.
  context_.BeginSource();
  const uint32_t e =
      source.IsImage() ? reader_.OpenFile(source.image) : reader_.OpenDiskVolume(source.disk, source.pieces);
  if (e != err::kSuccess) return e;
  source_ = source;
  open_ = true;
  return AttachCatalogue(logName, mode);
}

int32_t CFileTypeRecovery::SetCallbacks(ScanProgressCallback scanCallback,
                                        RecoverProgressCallback recoverCallback, void* context,
                                        int32_t weight) {
  callbacks_.Set(scanCallback, recoverCallback, context, weight);
  CarvingContext::Progress& p = context_.progress();
  p.callback = scanCallback;
  p.callbackContext = context;
  p.weight = weight;
  return 0;
}

int32_t CFileTypeRecovery::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (!logName.empty())
    return static_cast<int32_t>(AttachCatalogue(logName, FoundFileCatalogue::Mode::kResume));
  std::vector<uint8_t> sector(sectorSize_);
  uint64_t found = GetRecordCount();
  for (uint64_t at = 0; at < volumeSectors_;) {
    uint64_t consumed = 1;
    if (ReadDeviceSectors(sector, volumeStart_ + at, 1)) {
      const int32_t r =
          CarveAt(sector, volumeStart_ + at, at, volumeSectors_, -1, &reader_, sectorSize_, consumed, found);
      if (r == ScanCancelled) return CloseScan(r);
    }
    at += std::max<uint64_t>(consumed, 1);
  }
  return CloseScan(0);
}

int32_t CFileTypeRecovery::CarveAt(std::span<const uint8_t> sector, uint64_t absoluteSector,
                                   uint64_t scanPosition, uint64_t scanTotal, int32_t secondsLeft,
                                   const SectorReader* reader, uint32_t sectorSize, uint64_t& sectorsConsumed,
                                   uint64_t& foundCount) {
  sectorsConsumed = 1;
  CarvingContext& ctx = context_;
  sectorSize_ = sectorSize;
  ctx.Begin(reader, sectorSize, absoluteSector);
  CarvingContext::Progress& p = ctx.progress();
  p.scanPosition = scanPosition;
  p.scanTotal = scanTotal;
  p.secondsLeft = secondsLeft;
  p.foundCount = foundCount;
  // The buffer is the one sector under test.
  if (sectorSize == 0 || sector.size() < sectorSize) return static_cast<int32_t>(err::kInvalidParameter);
  const ByteSpan header = sector.first(sectorSize);

  const uint32_t code = DetectType(ctx, header);
  ctx.SetStreamStart(true);
  ctx.SetTransportStreamInProgress(false);
  const CarvingTypeRow* row = code == kNoType ? nullptr : FirstRowWithCode(code);
  // Without the work buffer no rule can measure, so nothing is carved; a joined file's second piece starts
  // no file of its own.
  if (row == nullptr || !row->IsCarved() || !catalogue_ || ctx.workBuffer().empty() ||
      ctx.Claimed(absoluteSector))
    return static_cast<int32_t>(err::kInvalidParameter);
  if (code == kMts) ctx.SetTransportStreamInProgress(true);
  if (code != kTs) ctx.SetStreamStart(false);

  p.callbackResult = 0;
  ctx.SetChecksWanted(!knownFile_ || !knownFile_(absoluteSector, row->extension));
  const uint64_t length = MeasureLength(ctx, *row, header);
  if (p.callbackResult == ScanCancelled) return ScanCancelled;
  const CarvingContext::Outcome outcome = ctx.outcome();
  if (const CarvingTypeRow* better = outcome.typeCode ? FirstRowWithCode(*outcome.typeCode) : nullptr)
    row = better;
  const std::string name = fmt::format("{}.{}", absoluteSector, row->extension);
  std::vector<FilePiece> pieces;
  if (outcome.headSectors != 0) {
    const uint64_t tailBytes = length - std::min(length, outcome.headSectors * sectorSize);
    pieces = {
        {absoluteSector, outcome.headSectors},
        {outcome.tailSector, std::max<uint64_t>(1, tailBytes / sectorSize + (tailBytes % sectorSize != 0))}};
  }

  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = static_cast<uint16_t>(driveLetter_);
  r.sourceKind = static_cast<uint32_t>(SourceKind::kCarved);
  r.isFolder = 0;
  r.isIntact = outcome.intact ? 1 : 0;
  r.entryRef = 0;
  r.clusterSize = kNoClusterSize;
  r.fileSize = length;
  r.entryLocation = absoluteSector;
  r.SetName(name);
  const uint32_t id = catalogue_->ReserveRecord(r);
  catalogue_->AddToFolder(0, 0, id, 0);
  ++foundCount;
  if (!pieces.empty()) {
    // The pass goes on after the first piece: the other data between the pieces holds files of its own.
    ctx.AddClaimedRange(pieces[1].firstSector, pieces[1].firstSector + pieces[1].sectors - 1);
    if (id != 0) pieces_.Add(id, std::move(pieces));
    sectorsConsumed = outcome.headSectors;
    return 0;
  }

  if (!row->stepsOneSector || outcome.checked)
    sectorsConsumed = std::max<uint64_t>(1, length / sectorSize + (length % sectorSize != 0));
  return 0;
}

uint32_t CFileTypeRecovery::Flush() {
  return catalogue_ ? catalogue_->Flush() : err::kSuccess;
}

uint32_t CFileTypeRecovery::SyncCatalogue(uint64_t& records) {
  records = 0;
  if (!catalogue_) return err::kInvalidParameter;
  records = catalogue_->TotalRecords();
  return catalogue_->SyncRecords();
}

uint32_t CFileTypeRecovery::KeepRecords(uint64_t records) {
  if (!catalogue_) return err::kInvalidParameter;
  const auto count = static_cast<uint32_t>(std::min<uint64_t>(records, UINT32_MAX));
  if (uint32_t e = pieces_.KeepRecords(count); e != err::kSuccess) return e;
  return catalogue_->KeepRecords(count);
}

uint64_t CFileTypeRecovery::DamagedFiles() {
  RecordList records;
  if (!catalogue_ || catalogue_->ListFolder(MakeFolderKey(0, 0), records) != err::kSuccess) return 0;
  return static_cast<uint64_t>(std::count_if(records.begin(), records.end(),
                                             [](const FoundFileRecord& r) { return r.isIntact == 0; }));
}

uint32_t CFileTypeRecovery::FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const {
  if (folder != nullptr || depth != 0) return err::kInvalidParameter;
  key = MakeFolderKey(0, 0);
  return err::kSuccess;
}

uint32_t CFileTypeRecovery::ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) {
  if (folder != nullptr || depth != 0 || !catalogue_) return 0;
  return catalogue_->ListFolder(MakeFolderKey(0, 0), out);
}

uint32_t CFileTypeRecovery::CountFolderFiles(const FoundFileRecord* folder, int32_t depth,
                                             uint32_t& outCount) {
  outCount = 0;
  if (folder != nullptr || depth != 0 || !catalogue_) return 0;
  return catalogue_->CountFiles(MakeFolderKey(0, 0), outCount);
}

uint32_t CFileTypeRecovery::GetRecordPath(const FoundFileRecord* /*record*/, std::string& outPath) {
  outPath.clear();
  return 0;
}

std::vector<FilePiece> CFileTypeRecovery::PiecesOf(const FoundFileRecord& record) const {
  if (const std::vector<FilePiece>* stored = pieces_.Find(record.recordId)) return *stored;
  const uint32_t ss = sectorSize_ == 0 ? SectorReader::kImageSectorSize : sectorSize_;
  return {{record.entryLocation, record.fileSize / ss + (record.fileSize % ss != 0)}};
}

std::vector<SectorStretch> CFileTypeRecovery::DataRuns(const FoundFileRecord& record) {
  std::vector<SectorStretch> runs;
  for (const FilePiece& p : PiecesOf(record)) runs.push_back({p.firstSector, p.sectors});
  return runs;
}

int32_t CFileTypeRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  const uint32_t ss = sectorSize_;
  if (!reader_.IsOpen() || ss == 0 || ss > kPieceBytes) return static_cast<int32_t>(err::kInvalidParameter);
  // A joined file reads its pieces in turn; any other file lies in one from its start sector on.
  const std::vector<FilePiece>* stored = pieces_.Find(record.recordId);
  const uint64_t sectors = total / ss + (total % ss != 0);
  const std::vector<FilePiece> whole = {{record.entryLocation, sectors}};
  const std::vector<FilePiece>& pieces = stored != nullptr ? *stored : whole;
  std::vector<uint8_t> piece(kPieceBytes);
  uint64_t delivered = 0;
  for (const FilePiece& p : pieces) {
    for (uint64_t done = 0; done < p.sectors && delivered < total;) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(kPieceBytes / ss, p.sectors - done));
      uint32_t got = 0;
      const uint32_t e =
          reader_.ReadSectors(piece, static_cast<int32_t>(count), p.firstSector + done, ss, &got);
      if (got == 0) return static_cast<int32_t>(err::kReadFault);
      // Only the bytes that belong to the file; the rest of its last sector is not part of it.
      const auto bytes = static_cast<size_t>(std::min<uint64_t>(uint64_t{got} * ss, total - delivered));
      if (int32_t r = sink(std::span<const uint8_t>(piece.data(), bytes)); r != 0) return r;
      delivered += bytes;
      done += got;
      if (e != err::kSuccess) return static_cast<int32_t>(e);
    }
  }
  return 0;
}

}  // namespace snapsave
