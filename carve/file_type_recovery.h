// CFileTypeRecovery: the signature carver. It finds files by their header sectors alone, measures each with
// its format's length rule and names it after its start sector ("777.jpg"). It does not walk a medium itself:
// the deep scan hands it every sector no file-system engine claims (CarveAt).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "carve/piece_store.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_catalogue.h"
#include "catalog/recovery_output.h"
#include "catalog/volume_engine.h"
#include "filetypes/carving_context.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFileTypeRecovery final : public VolumeEngine {
 public:
  // Holds its carving context's work buffer for its lifetime.
  explicit CFileTypeRecovery(SavedScanStore& store);
  ~CFileTypeRecovery() override;

  // The carving context reports through the scan callback too.
  int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                       void* context, int32_t weight) override;
  // Carves the whole volume on its own, sector by sector as the deep scan hands them over (CarveAt); a
  // saved scan's name reads its results back.
  int32_t Scan(std::string_view logName) override;
  // Every carved file lies in the root; other folders list nothing (and are no error).
  uint32_t ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) override;
  uint32_t CountFolderFiles(const FoundFileRecord* folder, int32_t depth, uint32_t& outCount) override;
  uint32_t GetRecordPath(const FoundFileRecord* record, std::string& outPath) override;

  // For the deep scan: opens the source and a catalogue under `logName` (kResume keeps what a saved scan
  // carved). 0 or the open's error.
  uint32_t Attach(const VolumeSource& source, std::string_view logName, uint32_t sectorSize,
                  FoundFileCatalogue::Mode mode = FoundFileCatalogue::Mode::kResume);

  // Tests the one sector `sector` (absolute sector `absoluteSector`, `sectorSize` bytes) against the carving
  // type table; on a hit measures the file through `reader` and files a record. 0 after a carve, 87 when the
  // sector starts nothing carvable, ScanCancelled when a progress callback stopped the measuring.
  // `sectorsConsumed` says how far the caller moves on: 1 for formats measured by a header field (which may
  // be wrong) and for 87, else the file's sectors. `foundCount` is reported and counts the carve.
  int32_t CarveAt(std::span<const uint8_t> sector, uint64_t absoluteSector, uint64_t scanPosition,
                  uint64_t scanTotal, int32_t secondsLeft, const SectorReader* reader, uint32_t sectorSize,
                  uint64_t& sectorsConsumed, uint64_t& foundCount);

  // Writes what is still buffered to the catalogue files.
  uint32_t Flush();
  // Writes and syncs the catalogue; `records` receives its records, a continued scan's included.
  uint32_t SyncCatalogue(uint64_t& records);
  // Back to the first `records` records of the attached catalogue (a checkpoint's).
  uint32_t KeepRecords(uint64_t records);

  // Carved files put back together from two pieces, in the attached catalogue.
  uint64_t StitchedFiles() const { return pieces_.size(); }
  // Carved files in the attached catalogue that did not validate to their end.
  uint64_t DamagedFiles();
  // The absolute sectors a carved file's data lies in, piece by piece.
  std::vector<FilePiece> PiecesOf(const FoundFileRecord& record) const;
  std::vector<SectorStretch> DataRuns(const FoundFileRecord& record) override;

  // Whether a file the metadata found starts at an absolute sector as the same kind of file as a carve
  // with this extension would be (the merge then shows that file, not the carve).
  using KnownFileTest = std::function<bool(uint64_t absoluteSector, std::string_view extension)>;
  void SetKnownFileTest(KnownFileTest test) { knownFile_ = std::move(test); }

  // The state its header tests and length rules share; a carver's alone.
  CarvingContext& context() { return context_; }
  const CarvingContext& context() const { return context_; }

 protected:
  // Carved files lie in the root alone.
  uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const override;
  std::optional<uint32_t> RootFolderRef() const override { return 0; }

 private:
  // A fresh catalogue for the volume.
  uint32_t OpenVolume() override;
  uint32_t AttachCatalogue(std::string_view logName, FoundFileCatalogue::Mode mode);
  // Hands the carved file's bytes, at most `total`, to `sink` in pieces of up to 64 KiB. 0, 30 for a read
  // that yields nothing, or the sink's answer.
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;

  CarvingContext context_;
  PieceStore pieces_;
  KnownFileTest knownFile_;
};

}  // namespace snapsave
