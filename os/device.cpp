#include "os/device.h"

#include <algorithm>

namespace snapsave::os {

namespace fs = std::filesystem;

uint32_t QueryLength(const File& file, uint64_t& bytes) {
  return file.Size(bytes);
}

std::optional<fs::path> DiskTable::PathOf(int32_t number) const {
  if (number < 0) return std::nullopt;
  if (number >= kFirstImageDisk) return ImageOf(number);
  std::vector<fs::path> table = List();
  auto index = static_cast<size_t>(number);
  if (index >= table.size()) return std::nullopt;
  return table[index];
}

std::vector<fs::path> DiskTable::List() const {
  return fixed_ ? *fixed_ : Discover();
}

int32_t DiskTable::AddImage(const fs::path& image) {
  std::error_code ec;
  fs::path key = fs::weakly_canonical(image, ec);
  if (ec) key = fs::absolute(image, ec);
  std::lock_guard lock(mutex_);
  const auto known = std::find(images_.begin(), images_.end(), key);
  if (known != images_.end()) return kFirstImageDisk + static_cast<int32_t>(known - images_.begin());
  images_.push_back(key);
  return kFirstImageDisk + static_cast<int32_t>(images_.size() - 1);
}

std::optional<fs::path> DiskTable::ImageOf(int32_t number) const {
  if (number < kFirstImageDisk) return std::nullopt;
  std::lock_guard lock(mutex_);
  const auto index = static_cast<size_t>(number - kFirstImageDisk);
  if (index >= images_.size()) return std::nullopt;
  return images_[index];
}

}  // namespace snapsave::os
