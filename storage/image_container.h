// Disk images in container formats, read as the raw medium they hold: EWF (E01), VHD, VHDX, VMDK, QCOW2, and
// raw images split into numbered pieces (.001, .002 ...). Each is opened read-only; no library is ever asked
// for write access.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace snapsave {

enum class ImageFormat : uint8_t { kRaw, kEwf, kVhd, kVhdx, kVmdk, kQcow, kSplitRaw };

// What the file holds, by its content (and, for split raw images, by a numbered sibling beside a ".001"
// file). kRaw also for files that cannot be read.
ImageFormat DetectImageFormat(const std::filesystem::path& path);

// A short name for messages and listings: "raw", "E01", "VHD", "VHDX", "VMDK", "QCOW2", "split raw".
std::string_view ImageFormatName(ImageFormat format);

class ImageContainer {
 public:
  virtual ~ImageContainer() = default;
  // Bytes of the medium the image holds.
  virtual uint64_t MediaBytes() const = 0;
  // Fills `buffer` from `offset` of the medium; `got` is what arrived. Safe to call from several threads.
  // A stretch the image cannot give (a chunk failing its checksum, a missing segment, data past a cut end)
  // fails with 23 or 30; `got` then holds the good bytes before it.
  virtual uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const = 0;
  // What is known at opening to be wrong with an image that opened (a missing segment, a cut end): its
  // sectors fail to read. Empty when nothing is.
  virtual std::string Damage() const { return {}; }
};

// Opens `path` as a container of `format` (not kRaw). Result codes as the file layer's: 2 when it (or a
// piece of it) is missing, 13 when the library cannot make sense of it; `why` then gets the reason in words
// (the library's own where it gave some).
uint32_t OpenImageContainer(const std::filesystem::path& path, ImageFormat format,
                            std::unique_ptr<ImageContainer>& out, std::string* why = nullptr);

// Process-wide, set from the user's choice: a split set's missing or short piece is read as unreadable
// sectors of the other pieces' size instead of the set being refused. Off unless asked for.
void SetSplitGapsUnreadable(bool unreadable);

// For messages about an image file: why its container cannot be opened ("E01 image cannot be opened: ..."),
// or what is wrong with one that opens; empty for a sound container and for raw files.
std::string ImageProblem(const std::filesystem::path& path);

// Bytes of the medium an image file holds: the container's media size, else the file's size. 0 when it cannot
// be opened.
uint64_t ImageMediaBytes(const std::filesystem::path& path);

}  // namespace snapsave
