// Small text files the kernel and udev keep (sysfs attributes, mountinfo, udev records), read bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace snapsave::os {

// At most `limit` bytes of the file; empty when it cannot be read.
std::string ReadSmallFile(const std::filesystem::path& path, size_t limit = size_t{1} << 22);
// Without trailing newlines, carriage returns and spaces.
std::string Trimmed(std::string text);
// The file's one decimal number ("512\n"); nothing when it holds anything else.
std::optional<uint64_t> ReadNumberFile(const std::filesystem::path& path);

// Whether the disk at `device` ("/dev/sdb") is one a user plugs in: the kernel marks its media removable
// (card readers), or it hangs off a USB bus (sticks and external drives, which often say they are fixed).
// False for image files and anything sysfs does not know.
bool IsRemovableDisk(const std::filesystem::path& device,
                     const std::filesystem::path& sysClassBlock = "/sys/class/block");

}  // namespace snapsave::os
