// Where the carved files put together from two or more pieces lie. A side file beside the carver's records
// ("<records>_Pieces"), so that a saved scan reads them back; the records file keeps its layout, and a record
// without an entry lies in one piece from its start sector on.
//
// Stored form, little-endian: "SSPIECE1", then per file its record number (u32), its count of pieces (u32)
// and each piece's first absolute sector and count of sectors (u64, u64). A later entry for a record replaces
// an earlier one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <vector>

namespace snapsave {

struct FilePiece {
  uint64_t firstSector = 0;
  uint64_t sectors = 0;
  bool operator==(const FilePiece&) const = default;
};

class PieceStore {
 public:
  static constexpr size_t kMaxPieces = 64;

  // Loads the pieces beside `recordsPath` (none when `fresh`, which also deletes the file), keeping those of
  // records 1 to `records`. A damaged file gives what can be read of it.
  void Open(const std::filesystem::path& recordsPath, uint32_t records, bool fresh);
  void Close();

  // Notes the pieces of `recordId` and rewrites the side file. 0 or the error of writing.
  uint32_t Add(uint32_t recordId, std::vector<FilePiece> pieces);
  // The pieces of `recordId`, or nothing for a file in one piece.
  const std::vector<FilePiece>* Find(uint32_t recordId) const;
  // Drops the entries of records after `count` (a checkpoint's) and rewrites the side file.
  uint32_t KeepRecords(uint32_t count);
  size_t size() const { return pieces_.size(); }
  const std::map<uint32_t, std::vector<FilePiece>>& all() const { return pieces_; }

  // The stored form of `pieces`, and what `bytes` hold (records after `records` left out).
  static std::vector<uint8_t> Encode(const std::map<uint32_t, std::vector<FilePiece>>& pieces);
  static std::map<uint32_t, std::vector<FilePiece>> Decode(std::span<const uint8_t> bytes, uint32_t records);

 private:
  uint32_t Write() const;

  std::filesystem::path path_;
  std::map<uint32_t, std::vector<FilePiece>> pieces_;
};

}  // namespace snapsave
