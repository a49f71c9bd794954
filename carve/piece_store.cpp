#include "carve/piece_store.h"

#include <string_view>
#include <system_error>

#include "os/byte_reader.h"
#include "os/error.h"
#include "os/file.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "SSPIECE1";
constexpr size_t kEntryHead = 8;
constexpr size_t kPieceBytes = 16;
// A side file larger than this is no side file of ours.
constexpr uint64_t kMaxFileBytes = uint64_t{64} << 20;

void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> PieceStore::Encode(const std::map<uint32_t, std::vector<FilePiece>>& pieces) {
  std::vector<uint8_t> out(kMagic.begin(), kMagic.end());
  for (const auto& [id, list] : pieces) {
    PutLe(out, id, 4);
    PutLe(out, list.size(), 4);
    for (const FilePiece& p : list) {
      PutLe(out, p.firstSector, 8);
      PutLe(out, p.sectors, 8);
    }
  }
  return out;
}

std::map<uint32_t, std::vector<FilePiece>> PieceStore::Decode(std::span<const uint8_t> bytes,
                                                              uint32_t records) {
  std::map<uint32_t, std::vector<FilePiece>> pieces;
  if (!BytesEqual(bytes, 0, kMagic)) return pieces;
  size_t at = kMagic.size();
  while (Has(bytes, at, kEntryHead)) {
    const uint32_t id = Le32(bytes, at);
    const uint32_t count = Le32(bytes, at + 4);
    at += kEntryHead;
    if (count < 2 || count > kMaxPieces || !Has(bytes, at, size_t{count} * kPieceBytes)) break;
    std::vector<FilePiece> list;
    bool sound = true;
    for (uint32_t i = 0; i < count; ++i, at += kPieceBytes) {
      const FilePiece p{Le64(bytes, at), Le64(bytes, at + 8)};
      sound = sound && p.sectors != 0 && p.firstSector <= UINT64_MAX - p.sectors;
      list.push_back(p);
    }
    if (sound && id != 0 && id <= records) pieces[id] = std::move(list);
  }
  return pieces;
}

void PieceStore::Open(const fs::path& recordsPath, uint32_t records, bool fresh) {
  pieces_.clear();
  path_ = recordsPath;
  path_ += "_Pieces";
  std::error_code ec;
  if (fresh) {
    fs::remove(path_, ec);
    return;
  }
  os::File file;
  uint64_t size = 0;
  if (file.OpenRead(path_) != err::kSuccess || file.Size(size) != err::kSuccess || size > kMaxFileBytes)
    return;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t got = 0;
  file.ReadFullAt(0, bytes, got);
  pieces_ = Decode(std::span<const uint8_t>(bytes).first(got), records);
}

void PieceStore::Close() {
  pieces_.clear();
  path_.clear();
}

uint32_t PieceStore::Write() const {
  if (path_.empty()) return err::kInvalidParameter;
  if (pieces_.empty()) {
    std::error_code ec;
    fs::remove(path_, ec);
    return err::kSuccess;
  }
  return os::ReplaceFile(path_, Encode(pieces_));
}

uint32_t PieceStore::Add(uint32_t recordId, std::vector<FilePiece> pieces) {
  if (recordId == 0 || pieces.size() < 2 || pieces.size() > kMaxPieces) return err::kInvalidParameter;
  pieces_[recordId] = std::move(pieces);
  return Write();
}

const std::vector<FilePiece>* PieceStore::Find(uint32_t recordId) const {
  const auto it = pieces_.find(recordId);
  return it == pieces_.end() ? nullptr : &it->second;
}

uint32_t PieceStore::KeepRecords(uint32_t count) {
  const size_t before = pieces_.size();
  pieces_.erase(pieces_.upper_bound(count), pieces_.end());
  return pieces_.size() == before ? err::kSuccess : Write();
}

}  // namespace snapsave
