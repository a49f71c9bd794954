// What the user names on the command line: the source to scan or copy, and the types to keep.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/disk_list.h"

namespace snapsave::cli {

// Identity letter of an image source's engine; disk entries use their listing number.
inline constexpr char16_t kImageLetter = u'A';

struct Source {
  enum class Kind { kImage, kVolume, kWholeDisk };
  Kind kind = Kind::kImage;
  std::filesystem::path imagePath;  // kImage
  VolumeInfo volume;                // kVolume and kWholeDisk: the entry of the listing
  // For messages: the image path, "disk 0 (/dev/sdb)", "volume 3 (/dev/sdb1)".
  std::string description;
};

// SOURCE as typed: an existing image file; "disk<N>" for whole disk N; a number, the identity of an entry of
// `entries` (the listing); or a device node of a listed volume or disk ("/dev/sdb1"). An error text when it
// names nothing.
struct SourceOrError {
  std::optional<Source> source;
  std::string error;
};
SourceOrError ResolveSource(std::string_view text, const std::vector<VolumeInfo>& entries);

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
