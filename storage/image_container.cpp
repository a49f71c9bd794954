#include "storage/image_container.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "os/error.h"
#include "os/file.h"

#ifdef SNAPSAVE_HAVE_LIBYAL
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#endif

namespace snapsave {
namespace {

namespace fs = std::filesystem;

bool StartsWith(std::span<const uint8_t> b, std::string_view magic) {
  return b.size() >= magic.size() && std::equal(magic.begin(), magic.end(), b.begin(), [](char m, uint8_t c) {
           return static_cast<uint8_t>(m) == c;
         });
}

// "name.001" -> "name.00N" for the N-th piece (1-based), or empty when `first` names no first piece.
fs::path SplitPiece(const fs::path& first, unsigned n) {
  const std::string name = first.filename().string();
  if (name.size() < 5 || name.compare(name.size() - 4, 4, ".001") != 0) return {};
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ".%03u", n);
  return first.parent_path() / (name.substr(0, name.size() - 4) + suffix);
}

constexpr unsigned kMaxSplitPieces = 999;

#ifdef SNAPSAVE_HAVE_LIBYAL
// ---- The libyal libraries share one shape: a handle, functions taking an error out-parameter, a read at an
// offset. One container serves them all, told which functions to call.
template <typename Handle, typename Error>
struct LibyalApi {
  int (*close)(Handle*, Error**);
  int (*release)(Handle**, Error**);
  ssize_t (*read)(Handle*, void*, size_t, off64_t, Error**);
  void (*releaseError)(Error**);
};

template <typename Handle, typename Error>
class LibyalContainer final : public ImageContainer {
 public:
  LibyalContainer(Handle* handle, LibyalApi<Handle, Error> api, uint64_t bytes)
      : handle_(handle), api_(api), bytes_(bytes) {}
  ~LibyalContainer() override {
    Error* error = nullptr;
    api_.close(handle_, &error);
    Discard(error);
    api_.release(&handle_, &error);
    Discard(error);
  }
  LibyalContainer(const LibyalContainer&) = delete;
  LibyalContainer& operator=(const LibyalContainer&) = delete;

  uint64_t MediaBytes() const override { return bytes_; }

  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const override {
    got = 0;
    if (offset >= bytes_) return err::kSuccess;
    const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), bytes_ - offset));
    // The libraries keep a position and caches in the handle: one read at a time.
    std::lock_guard lock(mutex_);
    Error* error = nullptr;
    const ssize_t n = api_.read(handle_, buffer.data(), want, static_cast<off64_t>(offset), &error);
    Discard(error);
    if (n < 0) return err::kReadFault;
    got = static_cast<size_t>(n);
    return err::kSuccess;
  }

 private:
  void Discard(Error*& error) const {
    if (error != nullptr) api_.releaseError(&error);
    error = nullptr;
  }

  mutable std::mutex mutex_;
  Handle* handle_;
  LibyalApi<Handle, Error> api_;
  uint64_t bytes_;
};

// Opens with `open` (which gets the handle and an error slot), then lets `ready` refuse what was opened or
// finish opening it, sizes with `size`, and wraps; the handle is closed and released on any failure.
template <typename Handle, typename Error, typename Init, typename Open, typename Ready, typename Size>
uint32_t OpenLibyal(LibyalApi<Handle, Error> api, Init init, Open open, Ready ready, Size size,
                    std::unique_ptr<ImageContainer>& out) {
  Handle* handle = nullptr;
  Error* error = nullptr;
  bool opened = false;
  auto fail = [&](uint32_t code) {
    if (error != nullptr) api.releaseError(&error);
    if (opened) {
      api.close(handle, &error);
      if (error != nullptr) api.releaseError(&error);
    }
    if (handle != nullptr) {
      api.release(&handle, &error);
      if (error != nullptr) api.releaseError(&error);
    }
    return code;
  };
  if (init(&handle, &error) != 1) return fail(err::kNotEnoughMemory);
  if (open(handle, &error) != 1) return fail(err::kInvalidData);
  opened = true;
  size64_t bytes = 0;
  if (ready(handle, &error) != 1 || size(handle, &bytes, &error) != 1) return fail(err::kInvalidData);
  try {
    out = std::make_unique<LibyalContainer<Handle, Error>>(handle, api, bytes);
  } catch (const std::bad_alloc&) {
    return fail(err::kNotEnoughMemory);
  }
  return err::kSuccess;
}

template <typename Handle, typename Error>
int NothingMore(Handle*, Error**) {
  return 1;
}

uint32_t OpenEwf(const fs::path& path, std::unique_ptr<ImageContainer>& out) {
  const LibyalApi<libewf_handle_t, libewf_error_t> api{libewf_handle_close, libewf_handle_free,
                                                       libewf_handle_read_random, libewf_error_free};
  // The segment files (.E01, .E02 ...) beside the first, as the library names them.
  char** names = nullptr;
  int count = 0;
  libewf_error_t* error = nullptr;
  const std::string name = path.string();
  if (libewf_glob(name.c_str(), name.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1) {
    libewf_error_free(&error);
    return err::kInvalidData;
  }
  const uint32_t result = OpenLibyal(
      api, libewf_handle_initialize,
      [&](libewf_handle_t* h, libewf_error_t** e) {
        return libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, e);
      },
      NothingMore<libewf_handle_t, libewf_error_t>, libewf_handle_get_media_size, out);
  libewf_glob_free(names, count, &error);
  if (error != nullptr) libewf_error_free(&error);
  return result;
}

uint32_t OpenVhd(const fs::path& path, std::unique_ptr<ImageContainer>& out) {
  const LibyalApi<libvhdi_file_t, libvhdi_error_t> api{
      libvhdi_file_close, libvhdi_file_free, libvhdi_file_read_buffer_at_offset, libvhdi_error_free};
  const std::string name = path.string();
  return OpenLibyal(
      api, libvhdi_file_initialize,
      [&](libvhdi_file_t* f, libvhdi_error_t** e) {
        return libvhdi_file_open(f, name.c_str(), LIBVHDI_OPEN_READ, e);
      },
      [](libvhdi_file_t* f, libvhdi_error_t** e) {
        // A differencing disk holds only what changed since its parent: not a medium by itself.
        uint32_t type = 0;
        return libvhdi_file_get_disk_type(f, &type, e) == 1 && type != LIBVHDI_DISK_TYPE_DIFFERENTIAL ? 1
                                                                                                      : -1;
      },
      libvhdi_file_get_media_size, out);
}

uint32_t OpenVmdk(const fs::path& path, std::unique_ptr<ImageContainer>& out) {
  const LibyalApi<libvmdk_handle_t, libvmdk_error_t> api{
      libvmdk_handle_close, libvmdk_handle_free, libvmdk_handle_read_buffer_at_offset, libvmdk_error_free};
  const std::string name = path.string();
  return OpenLibyal(
      api, libvmdk_handle_initialize,
      [&](libvmdk_handle_t* h, libvmdk_error_t** e) {
        return libvmdk_handle_open(h, name.c_str(), LIBVMDK_OPEN_READ, e);
      },
      // The extents the descriptor names, beside it (for a monolithic file, the file itself).
      libvmdk_handle_open_extent_data_files, libvmdk_handle_get_media_size, out);
}

uint32_t OpenQcow(const fs::path& path, std::unique_ptr<ImageContainer>& out) {
  const LibyalApi<libqcow_file_t, libqcow_error_t> api{
      libqcow_file_close, libqcow_file_free, libqcow_file_read_buffer_at_offset, libqcow_error_free};
  const std::string name = path.string();
  return OpenLibyal(
      api, libqcow_file_initialize,
      [&](libqcow_file_t* f, libqcow_error_t** e) {
        return libqcow_file_open(f, name.c_str(), LIBQCOW_OPEN_READ, e);
      },
      NothingMore<libqcow_file_t, libqcow_error_t>, libqcow_file_get_media_size, out);
}

#else
// Built without the libyal readers (the Windows build): container images are named but not read.
uint32_t OpenEwf(const fs::path&, std::unique_ptr<ImageContainer>&) {
  return err::kNotSupported;
}
uint32_t OpenVhd(const fs::path&, std::unique_ptr<ImageContainer>&) {
  return err::kNotSupported;
}
uint32_t OpenVmdk(const fs::path&, std::unique_ptr<ImageContainer>&) {
  return err::kNotSupported;
}
uint32_t OpenQcow(const fs::path&, std::unique_ptr<ImageContainer>&) {
  return err::kNotSupported;
}
#endif

// ---- Split raw: the pieces one after another.
class SplitRawContainer final : public ImageContainer {
 public:
  uint32_t Open(const fs::path& first) {
    for (unsigned n = 1; n <= kMaxSplitPieces; ++n) {
      const fs::path piece = SplitPiece(first, n);
      std::error_code ec;
      if (piece.empty() || !fs::is_regular_file(piece, ec)) break;
      os::File file;
      if (uint32_t e = file.OpenRead(piece); e != err::kSuccess) return e;
      uint64_t size = 0;
      if (uint32_t e = file.Size(size); e != err::kSuccess) return e;
      pieces_.push_back({std::move(file), bytes_, size});
      bytes_ += size;
    }
    return pieces_.empty() ? err::kFileNotFound : err::kSuccess;
  }

  uint64_t MediaBytes() const override { return bytes_; }

  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const override {
    got = 0;
    // The piece holding `offset`: the last one starting at or before it.
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](uint64_t at, const Piece& p) { return at < p.start; });
    if (it == pieces_.begin()) return err::kSuccess;
    for (--it; it != pieces_.end() && got < buffer.size(); ++it) {
      const uint64_t at = offset + got;
      if (at < it->start || at >= it->start + it->size) continue;
      const auto want =
          static_cast<size_t>(std::min<uint64_t>(buffer.size() - got, it->start + it->size - at));
      size_t n = 0;
      if (uint32_t e = it->file.ReadFullAt(at - it->start, buffer.subspan(got, want), n); e != err::kSuccess)
        return e;
      got += n;
      if (n < want) break;  // the piece is shorter than when it was opened
    }
    return err::kSuccess;
  }

 private:
  struct Piece {
    os::File file;
    uint64_t start;
    uint64_t size;
  };
  std::vector<Piece> pieces_;
  uint64_t bytes_ = 0;
};

}  // namespace

ImageFormat DetectImageFormat(const fs::path& path) {
  os::File file;
  if (file.OpenRead(path) != err::kSuccess) return ImageFormat::kRaw;
  std::array<uint8_t, 512> head{};
  size_t got = 0;
  if (file.ReadFullAt(0, head, got) != err::kSuccess) return ImageFormat::kRaw;
  const std::span<const uint8_t> h(head.data(), got);
  if (StartsWith(h, std::string_view("EVF\x09\x0D\x0A\xFF\x00", 8)) ||
      StartsWith(h, std::string_view("EVF2\x0D\x0A\x81\x00", 8)))
    return ImageFormat::kEwf;
  if (StartsWith(h, "vhdxfile")) return ImageFormat::kVhdx;
  if (StartsWith(h, "conectix")) return ImageFormat::kVhd;
  if (StartsWith(h, "KDMV") || StartsWith(h, "COWD") || StartsWith(h, "# Disk DescriptorFile"))
    return ImageFormat::kVmdk;
  if (StartsWith(h, "QFI\xFB")) return ImageFormat::kQcow;
  // A fixed VHD is the raw medium with a footer after it.
  uint64_t size = 0;
  if (file.Size(size) == err::kSuccess && size >= 1024 && size % 512 == 0) {
    std::array<uint8_t, 8> footer{};
    if (file.ReadFullAt(size - 512, footer, got) == err::kSuccess && got == footer.size() &&
        StartsWith(footer, "conectix"))
      return ImageFormat::kVhd;
  }
  std::error_code ec;
  const fs::path second = SplitPiece(path, 2);
  if (!second.empty() && fs::is_regular_file(second, ec)) return ImageFormat::kSplitRaw;
  return ImageFormat::kRaw;
}

std::string_view ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kRaw:
      return "raw";
    case ImageFormat::kEwf:
      return "E01";
    case ImageFormat::kVhd:
      return "VHD";
    case ImageFormat::kVhdx:
      return "VHDX";
    case ImageFormat::kVmdk:
      return "VMDK";
    case ImageFormat::kQcow:
      return "QCOW2";
    case ImageFormat::kSplitRaw:
      return "split raw";
  }
  return "raw";
}

uint32_t OpenImageContainer(const fs::path& path, ImageFormat format, std::unique_ptr<ImageContainer>& out) {
  out.reset();
  std::error_code ec;
  if (!fs::exists(path, ec)) return err::kFileNotFound;
  switch (format) {
    case ImageFormat::kEwf:
      return OpenEwf(path, out);
    case ImageFormat::kVhd:
    case ImageFormat::kVhdx:
      return OpenVhd(path, out);
    case ImageFormat::kVmdk:
      return OpenVmdk(path, out);
    case ImageFormat::kQcow:
      return OpenQcow(path, out);
    case ImageFormat::kSplitRaw: {
      auto split = std::make_unique<SplitRawContainer>();
      if (uint32_t e = split->Open(path); e != err::kSuccess) return e;
      out = std::move(split);
      return err::kSuccess;
    }
    case ImageFormat::kRaw:
      break;
  }
  return err::kInvalidParameter;
}

uint64_t ImageMediaBytes(const fs::path& path) {
  const ImageFormat format = DetectImageFormat(path);
  if (format != ImageFormat::kRaw) {
    std::unique_ptr<ImageContainer> container;
    return OpenImageContainer(path, format, container) == err::kSuccess ? container->MediaBytes() : 0;
  }
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace snapsave
