#include "catalog/recovery_output.h"

#include <deque>
#include <set>
#include <system_error>
#include <utility>

#include "filetypes/file_categories.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/text.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxComponentBytes = 255;
// Deeper than any real tree; ends walks over damaged relations that keep descending.
constexpr uint32_t kMaxFolderDepth = 512;

int32_t Percent(uint64_t done, uint64_t total) {
  if (total == 0) return 100;
  return static_cast<int32_t>(done >= total ? 100 : done * 100 / total);
}

}  // namespace

std::string SanitizeNameComponent(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') {
      out.push_back('_');
    } else {
      out.push_back(c);
    }
  }
  out = os::FitNameToSystem(std::move(out));
  if (out.size() > kMaxComponentBytes) {
    size_t n = kMaxComponentBytes;
    while (n > 0 && (static_cast<uint8_t>(out[n]) & 0xC0) == 0x80) --n;
    out.resize(n);
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  // A cut or a prefix may leave what the system refuses at the end again.
  return os::FitNameToSystem(std::move(out));
}

fs::path MakeUniquePath(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return path;
  const fs::path parent = path.parent_path();
  for (uint64_t n = 1;; ++n) {
    fs::path name = path.stem();
    name += "(" + std::to_string(n) + ")";
    name += path.extension();
    const fs::path candidate = parent / name;
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
}

uint32_t CountSeparators(std::string_view path) {
  uint32_t n = 0;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    if (path[i] == '/' || path[i] == '\\') ++n;
  }
  return n;
}

RecoveredFileWriter::RecoveredFileWriter(RecoverProgressCallback callback, void* context,
                                         fs::path destination, uint64_t fileSize)
    : callback_(callback), context_(context), destination_(std::move(destination)), fileSize_(fileSize) {}

uint32_t RecoveredFileWriter::Open() {
  if (destination_.has_parent_path()) {
    if (uint32_t e = os::CreateFolders(destination_.parent_path());
        e != err::kSuccess && !IsAlreadyExists(e)) {
      return e;
    }
  }
  return file_.OpenWrite(destination_, /*truncate=*/true);
}

int32_t RecoveredFileWriter::Append(std::span<const uint8_t> piece) {
  const uint64_t owed = fileSize_ - written_;
  if (piece.size() > owed) piece = piece.first(static_cast<size_t>(owed));
  if (!piece.empty()) {
    if (uint32_t e = file_.WriteAllAt(written_, piece); e != err::kSuccess) return static_cast<int32_t>(e);
    written_ += piece.size();
  }
  // 100 is said once, by Finish, when the file's outcome is known: its last piece may still be followed by
  // the news that part of it could not be read.
  if (callback_ != nullptr)
    return callback_(context_, std::min<int32_t>(Percent(written_, fileSize_), 99), 100, 0, destination_);
  return 0;
}

namespace {

// A recovered file keeps the times its source recorded. FAT and exFAT store the local time of the clock that
// wrote them; the others UTC. A destination that refuses a time leaves the file as written.
void ApplyRecordTimes(const fs::path& path, const FoundFileRecord& r) {
  const SourceKind kind = r.Kind();
  const bool local = kind == SourceKind::kFatQuick || kind == SourceKind::kFatDeep ||
                     kind == SourceKind::kExfatQuick || kind == SourceKind::kExfatDeep;
  auto utc = [local](uint64_t t) { return local ? os::UtcOfLocalFileTime(t) : t; };
  os::SetFileTimes(path, utc(r.writeTime), utc(r.accessTime), utc(r.creationTime));
}

}  // namespace

int32_t RecoveredFileWriter::Finish(int32_t code, const FoundFileRecord* times) {
  file_.Close();
  if (times != nullptr && (code == 0 || code == static_cast<int32_t>(err::kCrc)))
    ApplyRecordTimes(destination_, *times);
  if (callback_ == nullptr) return code;
  if (code >= 0) callback_(context_, 100, 100, static_cast<uint32_t>(code), destination_);
  return code;
}

PreviewSink::PreviewSink(const FoundFileRecord& record, std::span<uint8_t> buffer,
                         PreviewProgressCallback callback, void* context)
    : buffer_(buffer), callback_(callback), context_(context), kind_(PreviewKindOf(record.Name())) {
  total_ = record.fileSize;
}

uint32_t PreviewSink::Begin(fs::path& outPath) {
  toFile_ = false;
  if (kind_ != PreviewKind::kBuffer) {
    const fs::path folder = os::ScanLogFolder();
    fs::path candidate = folder / (kind_ == PreviewKind::kMedia ? "tmp.avi" : "tmp.jpg");
    if (candidate.native().size() < 260) {
      if (uint32_t e = os::CreateFolders(folder); e != err::kSuccess && !IsAlreadyExists(e)) return e;
      std::error_code ec;
      fs::remove(candidate, ec);
      if (uint32_t e = file_.OpenWrite(candidate, /*truncate=*/true); e != err::kSuccess) return e;
      tempPath_ = candidate;
      outPath = candidate;
      toFile_ = true;
    }
  }
  if (!toFile_ && total_ > buffer_.size()) total_ = buffer_.size();
  return err::kSuccess;
}

int32_t PreviewSink::Append(std::span<const uint8_t> piece) {
  const uint64_t owed = total_ - delivered_;
  if (piece.size() > owed) piece = piece.first(static_cast<size_t>(owed));
  if (toFile_) {
    if (uint32_t e = file_.WriteAllAt(delivered_, piece); e != err::kSuccess) return static_cast<int32_t>(e);
  } else {
    std::copy(piece.begin(), piece.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(delivered_));
  }
  delivered_ += piece.size();
  if (callback_ != nullptr) return callback_(context_, Percent(delivered_, total_), 0);
  return 0;
}

int32_t PreviewSink::Finish(int32_t code, uint32_t& outSize) {
  if (code == 0 && total_ == 0 && callback_ != nullptr) callback_(context_, 100, 0);
  if (code > 0 && callback_ != nullptr) callback_(context_, 100, static_cast<uint32_t>(code));
  if (toFile_) {
    file_.Close();
    if (code != 0) {
      std::error_code ec;
      fs::remove(tempPath_, ec);
    }
  }
  outSize = toFile_ ? 0 : static_cast<uint32_t>(delivered_);
  return code;
}

int32_t RecoverFolderTree(IFileRecoveryParse& engine, const FoundFileRecord& folder, uint32_t childDepth,
                          const fs::path& destination, const WriteRecordFn& writeFile) {
  struct Pending {
    FoundFileRecord record;
    uint32_t depth;
    fs::path path;
  };
  int32_t result = 0;
  if (uint32_t e = os::CreateFolders(destination); e != err::kSuccess && !IsAlreadyExists(e)) {
    return static_cast<int32_t>(e);
  }
  std::deque<Pending> queue{{folder, childDepth, destination}};
  std::set<std::pair<uint32_t, uint32_t>> seen;  // (depth, entryRef) already recreated
  while (!queue.empty()) {
    Pending current = std::move(queue.front());
    queue.pop_front();
    if (current.depth > kMaxFolderDepth || !seen.insert({current.depth, current.record.entryRef}).second)
      continue;
    RecordList children;
    if (uint32_t e = engine.ListFolder(&current.record, static_cast<int32_t>(current.depth), children);
        e != err::kSuccess) {
      result = static_cast<int32_t>(e);
      continue;
    }
    for (const FoundFileRecord& child : children) {
      const fs::path target =
          MakeUniquePath(current.path / os::PathFromUtf8(SanitizeNameComponent(child.Name())));
      if (child.isFolder != 0) {
        if (uint32_t e = os::CreateFolders(target); e != err::kSuccess && !IsAlreadyExists(e)) {
          result = static_cast<int32_t>(e);
          continue;
        }
        queue.push_back({child, current.depth + 1, target});
        continue;
      }
      int32_t r = writeFile(child, target);
      if (r == ScanCancelled) return r;
      if (r != 0) result = r;
    }
  }
  return result;
}

int32_t WriteFoundFile(const EngineCallbacks& callbacks, const FoundFileRecord& record,
                       const fs::path& destination, const ReadPiecesFn& read) {
  RecoveredFileWriter writer(callbacks.recover, callbacks.context, destination, record.fileSize);
  if (record.clusterSize > kMaxRecoveryClusterBytes && record.clusterSize != kNoClusterSize) {
    return writer.Finish(static_cast<int32_t>(err::kWriteFault));
  }
  if (uint32_t e = writer.Open(); e != err::kSuccess) return writer.Finish(static_cast<int32_t>(e));
  return writer.Finish(
      read(record.fileSize, [&](std::span<const uint8_t> piece) { return writer.Append(piece); }), &record);
}

int32_t RecoverFoundFolder(IFileRecoveryParse& engine, FoundFileCatalogue& catalogue,
                           const FoundFileRecord& folder, const fs::path& destination,
                           const WriteRecordFn& writeFile) {
  RecordList ancestors;
  if (uint32_t e = catalogue.CollectAncestors(&folder, ancestors); e != err::kSuccess) {
    return static_cast<int32_t>(e);
  }
  const auto childDepth = static_cast<uint32_t>(ancestors.size() + 1);
  return RecoverFolderTree(engine, folder, childDepth, destination, writeFile);
}

uint32_t ExtractThroughSink(const FoundFileRecord& record, fs::path& outPath, std::span<uint8_t> buffer,
                            uint32_t& outSize, PreviewProgressCallback callback, void* context,
                            const ReadPiecesFn& read) {
  outSize = 0;
  PreviewSink sink(record, buffer, callback, context);
  if (uint32_t e = sink.Begin(outPath); e != err::kSuccess) {
    return static_cast<uint32_t>(sink.Finish(static_cast<int32_t>(e), outSize));
  }
  const int32_t r = read(sink.Total(), [&](std::span<const uint8_t> piece) { return sink.Append(piece); });
  return static_cast<uint32_t>(sink.Finish(r, outSize));
}

}  // namespace snapsave
