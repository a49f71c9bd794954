// What the user names on the command line: the source to scan or copy, and the types to keep.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engines/engine_factory.h"
#include "storage/disk_list.h"

namespace snapsave::cli {

// Identity letter of an image source's engine; disk entries use their listing number.
inline constexpr char16_t kImageLetter = u'A';

struct Source {
  // kImage: an image of one volume; kImageDisk: an image of a whole disk, scanned entry by entry.
  enum class Kind { kImage, kImageDisk, kVolume, kWholeDisk };
  Kind kind = Kind::kImage;
  std::filesystem::path imagePath;  // kImage, kImageDisk, and kVolume of an image
  VolumeInfo volume;                // kVolume and kWholeDisk: the entry of the listing
  std::vector<VolumeInfo> entries;  // kImageDisk: the image's volumes and free stretches
  // For messages: the image path, "card.img:2", "disk 0 (/dev/sdb)", "volume 3 (/dev/sdb1)".
  std::string description;
};

// "card.img:2": how an entry of a whole-disk image is named.
std::string ImageEntryName(const std::filesystem::path& image, const VolumeInfo& entry);

// An entry's ID as shown and typed: its drive letter ("E:") when it has one (Windows), else its number.
std::string EntryId(char16_t driveLetter);
// The ID typed: a number, or a drive letter with or without its colon; nothing for anything else.
std::optional<uint32_t> ParseEntryId(std::string_view text);

// How an image file is read as a disk; ReadImageDisk in production.
using ImageDiskReader = std::function<uint32_t(const std::filesystem::path&, ImageDisk&)>;

// SOURCE as typed: an existing image file (a whole-disk image when it holds a partition table); an entry of
// one as "IMAGE:N"; "disk<N>" for whole disk N; a number, the identity of an entry of `entries` (the
// listing); or a device node of a listed volume or disk ("/dev/sdb1"). An error text when it names nothing.
struct SourceOrError {
  std::optional<Source> source;
  std::string error;
};
SourceOrError ResolveSource(std::string_view text, const std::vector<VolumeInfo>& entries,
                            const ImageDiskReader& readImage = ReadImageDisk);

// "photo,pdf,.MP3" -> "*.bmp|*.gif|...|*.pdf|*.mp3|": category names stand for their whole lists, anything
// else for one extension. An error text for an empty list or a name that cannot be an extension.
struct TypesOrError {
  std::string extensionList;
  std::string error;
};
TypesOrError ParseTypes(std::string_view text);

// Lower-cased extension of a name without its dot ("" when none): the group a file is listed under.
std::string ExtensionOf(std::string_view name);

// "1.5 GiB", "512 B".
std::string HumanSize(uint64_t bytes);

}  // namespace snapsave::cli
