// Writing recovered data: safe names, unique paths, fresh files, progress per piece; and the preview target.
// Shared by every engine so that each one honours the same rules.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_catalogue.h"
#include "filetypes/file_categories.h"
#include "os/file.h"

namespace snapsave {

// Makes a name read from disk safe as one path component: no separators, no control bytes, never "." or "..",
// never empty, at most 255 bytes (cut at a UTF-8 boundary), and creatable on this system.
std::string SanitizeNameComponent(std::string_view name);

// `path` when nothing exists there, else "stem(n)ext" for the first free n = 1, 2, ...
std::filesystem::path MakeUniquePath(const std::filesystem::path& path);

// Number of '\' and '/' among all but the last character.
uint32_t CountSeparators(std::string_view path);

// One recovered file: created fresh (truncated, a symbolic link is never followed), written piece by piece,
// with the recover callback told after every piece and once more on failure.
class RecoveredFileWriter {
 public:
  RecoveredFileWriter(RecoverProgressCallback callback, void* context, std::filesystem::path destination,
                      uint64_t fileSize);

  // Creates the missing parent folders and the file.
  uint32_t Open();
  // Writes `piece` (at most what is still owed to fileSize) and reports. 0, a Win32 error, or the callback's
  // non-zero answer.
  int32_t Append(std::span<const uint8_t> piece);
  // Ends the file: a file of size 0 reports 100 once; a code above 0 is reported as the failure. Returns
  // `code`. A file written whole (zeros where the source could not be read included) gets the times
  // `times` recorded, where it is given.
  int32_t Finish(int32_t code, const FoundFileRecord* times = nullptr);

  uint64_t Written() const { return written_; }
  const std::filesystem::path& Destination() const { return destination_; }

 private:
  RecoverProgressCallback callback_;
  void* context_;
  std::filesystem::path destination_;
  uint64_t fileSize_;
  uint64_t written_ = 0;
  os::File file_;
};

// Where ExtractForPreview puts a file: "tmp.avi"/"tmp.jpg" in the scan-log folder for media and pictures,
// otherwise the caller's buffer.
class PreviewSink {
 public:
  PreviewSink(const FoundFileRecord& record, std::span<uint8_t> buffer, PreviewProgressCallback callback,
              void* context);

  // Prepares the target and fills `outPath` in file mode.
  uint32_t Begin(std::filesystem::path& outPath);
  // Bytes to deliver: fileSize, capped by the buffer in buffer mode.
  uint64_t Total() const { return total_; }
  uint64_t Remaining() const { return total_ - delivered_; }
  // Delivers at most what is still owed and reports percent. 0, a Win32 error or the callback's answer.
  int32_t Append(std::span<const uint8_t> piece);
  // Reports a failure, closes the temporary file (deleting it on failure) and sets `outSize` to the bytes
  // placed in the buffer. Returns `code`.
  int32_t Finish(int32_t code, uint32_t& outSize);

  bool ToFile() const { return toFile_; }

 private:
  std::span<uint8_t> buffer_;
  PreviewProgressCallback callback_;
  void* context_;
  PreviewKind kind_;
  bool toFile_ = false;
  uint64_t total_ = 0;
  uint64_t delivered_ = 0;
  std::filesystem::path tempPath_;
  os::File file_;
};

// A file's bytes handed piece by piece to `sink`, at most `total` of them: 0, a Win32 error or the sink's
// answer.
using PieceSink = std::function<int32_t(std::span<const uint8_t> piece)>;
using ReadPiecesFn = std::function<int32_t(uint64_t total, const PieceSink& sink)>;

// What every engine's ExtractForPreview does around its own reading: prepares the target of `record`, lets
// `read` deliver into it and finishes it (outSize: bytes placed in `buffer`).
uint32_t ExtractThroughSink(const FoundFileRecord& record, std::filesystem::path& outPath,
                            std::span<uint8_t> buffer, uint32_t& outSize, PreviewProgressCallback callback,
                            void* context, const ReadPiecesFn& read);

// Clusters larger than this are refused with a write fault: no file system makes them.
inline constexpr uint32_t kMaxRecoveryClusterBytes = 0x6400000;

// Writes one found file to `destination` (created fresh) with what `read` delivers, at most fileSize bytes,
// telling the recover callback after each piece and once more on failure. 0, a Win32 error or the callback's
// answer.
int32_t WriteFoundFile(const EngineCallbacks& callbacks, const FoundFileRecord& record,
                       const std::filesystem::path& destination, const ReadPiecesFn& read);

// Writes one file record to a path; returns 0, a Win32 error or the callback's answer.
using WriteRecordFn =
    std::function<int32_t(const FoundFileRecord& record, const std::filesystem::path& path)>;

// Recreates a found folder and everything below it at `destination`. `childDepth` is the depth at which the
// folder's own children are filed; sub-folders are one deeper. Names are sanitised and made unique within
// each folder so that nothing is overwritten and nothing lands outside `destination`. Returns ScanCancelled
// as soon as a file returns it, else the last failure, else 0.
int32_t RecoverFolderTree(IFileRecoveryParse& engine, const FoundFileRecord& folder, uint32_t childDepth,
                          const std::filesystem::path& destination, const WriteRecordFn& writeFile);

// RecoverFolderTree for a folder of `catalogue`: its children's depth comes from the folder's place in the
// found tree, not from the destination path, which the recovery writer may have nested below a category
// folder.
int32_t RecoverFoundFolder(IFileRecoveryParse& engine, FoundFileCatalogue& catalogue,
                           const FoundFileRecord& folder, const std::filesystem::path& destination,
                           const WriteRecordFn& writeFile);

}  // namespace snapsave
