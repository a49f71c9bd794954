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

}  // namespace snapsave::os
