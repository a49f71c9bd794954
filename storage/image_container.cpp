#include "storage/image_container.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "os/byte_reader.h"
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

// Piece `index` (0 = the first) of the split set whose first piece is `first`: "name.001", "name.002" ...;
// "name.000", "name.001" ...; or "name.aa", "name.ab" ... as split(1) names them. Empty when `first` names no
// first piece, or past the scheme's last name.
fs::path SplitPiece(const fs::path& first, unsigned index) {
  const std::string name = first.filename().string();
  auto ends = [&](std::string_view tail) {
    return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
  };
  std::string suffix;
  if (ends(".001") || ends(".000")) {
    const unsigned n = index + (ends(".001") ? 1 : 0);
    if (n > 999) return {};
    suffix = fmt::format("{:03}", n);
  } else if (ends(".aa")) {
    if (index >= 26 * 26) return {};
    suffix = {static_cast<char>('a' + index / 26), static_cast<char>('a' + index % 26)};
  } else {
    return {};
  }
  const size_t dot = name.rfind('.');
  return first.parent_path() / (name.substr(0, dot + 1) + suffix);
}

constexpr unsigned kMaxSplitPieces = 1000;

#ifdef SNAPSAVE_HAVE_LIBYAL
// ---- The libyal libraries share one shape: a handle, functions taking an error out-parameter, a read at an
// offset. One container serves them all, told which functions to call.
template <typename Handle, typename Error>
struct LibyalApi {
  int (*close)(Handle*, Error**);
  int (*release)(Handle**, Error**);
  ssize_t (*read)(Handle*, void*, size_t, off64_t, Error**);
  void (*releaseError)(Error**);
  int (*sprint)(Error*, char*, size_t);
  // EWF only (null for the others): the chunks found failing their checksums so far, as sector stretches.
  int (*checksumErrors)(Handle*, uint32_t*, Error**);
  int (*checksumError)(Handle*, uint32_t, uint64_t*, uint64_t*, Error**);
};

// The library's own account of a failure: its messages, innermost cause last, on one line.
template <typename Handle, typename Error>
std::string LibraryText(const LibyalApi<Handle, Error>& api, Error* error) {
  if (error == nullptr) return {};
  std::array<char, 2048> text{};
  if (api.sprint(error, text.data(), text.size()) < 0) return {};
  std::string line(text.data());
  std::replace(line.begin(), line.end(), '\n', ' ');
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// Sectors known to be unreadable, as sorted disjoint [first, end) stretches.
class SectorStretches {
 public:
  void Add(uint64_t first, uint64_t count) {
    if (count == 0) return;
    uint64_t end = first + std::min(count, UINT64_MAX - first);
    auto it =
        std::upper_bound(runs_.begin(), runs_.end(), first,
                         [](uint64_t at, const std::pair<uint64_t, uint64_t>& r) { return at < r.first; });
    if (it != runs_.begin() && std::prev(it)->second >= first) --it;
    while (it != runs_.end() && it->first <= end) {
      first = std::min(first, it->first);
      end = std::max(end, it->second);
      it = runs_.erase(it);
    }
    runs_.insert(it, {first, end});
  }
  // The first known-bad sector in [first, end), or `end` when there is none.
  uint64_t FirstIn(uint64_t first, uint64_t end) const {
    auto it =
        std::upper_bound(runs_.begin(), runs_.end(), first,
                         [](uint64_t at, const std::pair<uint64_t, uint64_t>& r) { return at < r.first; });
    if (it != runs_.begin() && std::prev(it)->second > first) return first;
    return it != runs_.end() && it->first < end ? it->first : end;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> runs_;
};

template <typename Handle, typename Error>
class LibyalContainer final : public ImageContainer {
 public:
  LibyalContainer(Handle* handle, LibyalApi<Handle, Error> api, uint64_t bytes, std::string damage)
      : handle_(handle), api_(api), bytes_(bytes), damage_(std::move(damage)) {}
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
  std::string Damage() const override {
    if (!damage_.empty() || bytes_ < kSector) return damage_;
    // A file cut short or spoiled has tables pointing past what it holds: the reads there fail. The first
    // and last sectors are where a cut shows soonest (a volume's boot sector, a backup table).
    std::array<uint8_t, kSector> sector{};
    size_t got = 0;
    const bool first = ReadAt(0, sector, got) == err::kSuccess && got == sector.size();
    const bool last = ReadAt(bytes_ - kSector, sector, got) == err::kSuccess && got == sector.size();
    if (first && last) return {};
    return fmt::format("its {} cannot be read: the file is cut short or damaged",
                       !first && !last ? "first and last sectors"
                       : !first        ? "first sector"
                                       : "last sector");
  }
  Handle* RawHandle() const { return handle_; }
  uint64_t Piece() const { return piece_; }
  // The parent image a differencing image reads through: closed after this one. With `piece`, no read
  // crosses a multiple of it (a reader that hands a read to the parent hands it all of the rest).
  void Adopt(std::unique_ptr<ImageContainer> parent, uint64_t piece = 0) {
    parent_ = std::move(parent);
    piece_ = piece;
  }

  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const override {
    got = 0;
    if (offset >= bytes_) return err::kSuccess;
    const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), bytes_ - offset));
    // The libraries keep a position and caches in the handle: one read at a time.
    std::lock_guard lock(mutex_);
    Error* error = nullptr;
    while (got < want) {
      const uint64_t at = offset + got;
      size_t ask = want - got;
      if (piece_ != 0) ask = static_cast<size_t>(std::min<uint64_t>(ask, piece_ - at % piece_));
      const ssize_t n = api_.read(handle_, buffer.data() + got, ask, static_cast<off64_t>(at), &error);
      Discard(error);
      if (n < 0) {
        if (got == 0) return err::kReadFault;
        break;
      }
      got += static_cast<size_t>(n);
      if (static_cast<size_t>(n) < ask) break;
    }
    if (api_.checksumErrors == nullptr || got == 0) return err::kSuccess;
    // The EWF reader hands back a chunk that fails its checksum (or lies in a missing segment) as if it
    // were good and only notes it, widening a stretch it noted before where the chunks are adjacent: every
    // noted stretch is unreadable, whenever it is read.
    uint32_t count = 0;
    if (api_.checksumErrors(handle_, &count, &error) == 1) {
      for (uint32_t i = 0; i < count; ++i) {
        uint64_t first = 0, sectors = 0;
        if (api_.checksumError(handle_, i, &first, &sectors, &error) == 1) bad_.Add(first, sectors);
        Discard(error);
      }
    }
    Discard(error);
    const uint64_t firstSector = offset / kSector;
    const uint64_t endSector = (offset + got + kSector - 1) / kSector;
    const uint64_t bad = bad_.FirstIn(firstSector, endSector);
    if (bad == endSector) return err::kSuccess;
    got = static_cast<size_t>(std::max(bad * kSector, offset) - offset);
    return err::kCrc;
  }

 private:
  static constexpr uint64_t kSector = 512;

  void Discard(Error*& error) const {
    if (error != nullptr) api_.releaseError(&error);
    error = nullptr;
  }

  std::unique_ptr<ImageContainer> parent_;  // declared first: destroyed after the handle is closed
  mutable std::mutex mutex_;
  Handle* handle_;
  LibyalApi<Handle, Error> api_;
  uint64_t bytes_;
  uint64_t piece_ = 0;
  std::string damage_;
  mutable SectorStretches bad_;  // under mutex_
};

// Opens with `open` (which gets the handle and an error slot), then lets `ready` refuse what was opened or
// finish opening it, sizes with `size`, lets `damage` say what is wrong with what opened, and wraps; the
// handle is closed and released on any failure, and `why` gets the library's words.
template <typename Handle, typename Error, typename Init, typename Open, typename Ready, typename Size>
uint32_t OpenLibyal(LibyalApi<Handle, Error> api, Init init, Open open, Ready ready, Size size,
                    std::unique_ptr<ImageContainer>& out, std::string* why,
                    const std::function<std::string(Handle*)>& damage = {}) {
  Handle* handle = nullptr;
  Error* error = nullptr;
  bool opened = false;
  auto fail = [&](uint32_t code) {
    if (why != nullptr && why->empty()) *why = LibraryText(api, error);
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
    out = std::make_unique<LibyalContainer<Handle, Error>>(handle, api, bytes,
                                                           damage ? damage(handle) : std::string());
  } catch (const std::bad_alloc&) {
    return fail(err::kNotEnoughMemory);
  }
  return err::kSuccess;
}

template <typename Handle, typename Error>
int NothingMore(Handle*, Error**) {
  return 1;
}

// The name EWF gives segment `n` (1-based) of the set whose first segment is `first` (".E01", ".e01",
// ".L01", ".s01"): 01-99, then AA-ZZ with the first letter carried on. Empty past the scheme's end.
fs::path EwfSegmentName(const fs::path& first, unsigned n) {
  std::string name = first.filename().string();
  if (name.size() < 4 || name[name.size() - 4] != '.' || n == 0) return {};
  const char letter = name[name.size() - 3];
  const bool lower = letter >= 'a' && letter <= 'z';
  std::string tail;
  if (n <= 99) {
    tail = {letter, static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10)};
  } else {
    const unsigned index = n - 100;  // AA = 0
    const unsigned lead = static_cast<unsigned>((lower ? letter - 'a' : letter - 'A')) + index / (26 * 26);
    if (lead >= 26) return {};
    const unsigned base = lower ? 'a' : 'A';
    tail = {static_cast<char>(base + lead), static_cast<char>(base + index / 26 % 26),
            static_cast<char>(base + index % 26)};
  }
  name.replace(name.size() - 3, 3, tail);
  return first.parent_path() / name;
}

constexpr unsigned kMaxEwfSegments = 14971;  // E01-E99, EAA-ZZZ

uint32_t OpenEwf(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why) {
  const LibyalApi<libewf_handle_t, libewf_error_t> api{libewf_handle_close,
                                                       libewf_handle_free,
                                                       libewf_handle_read_random,
                                                       libewf_error_free,
                                                       libewf_error_backtrace_sprint,
                                                       libewf_handle_get_number_of_checksum_errors,
                                                       libewf_handle_get_checksum_error};
  // The segment files (.E01, .E02 ...) beside the first, as the library names them: it stops at the first
  // one missing.
  char** names = nullptr;
  int count = 0;
  libewf_error_t* error = nullptr;
  const std::string name = path.string();
  if (libewf_glob(name.c_str(), name.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1) {
    if (why != nullptr) *why = LibraryText(api, error);
    libewf_error_free(&error);
    return err::kInvalidData;
  }
  const auto damage = [&](libewf_handle_t* handle) -> std::string {
    libewf_error_t* e = nullptr;
    const int corrupted = libewf_handle_segment_files_corrupted(handle, &e);
    if (e != nullptr) libewf_error_free(&e);
    if (corrupted != 1) return {};
    // A later segment beside the set names the gap; without one the set's end is cut off.
    const auto have = static_cast<unsigned>(count);
    std::error_code ec;
    for (unsigned n = have + 2; n <= kMaxEwfSegments; ++n) {
      const fs::path later = EwfSegmentName(path, n);
      if (later.empty()) break;
      if (fs::is_regular_file(later, ec))
        return fmt::format("segment {} is missing; the sectors it held cannot be read",
                           EwfSegmentName(path, have + 1).filename().string());
      if (n > have + 16) break;
    }
    return fmt::format(
        "it is cut short (its last segment, {}, is incomplete, or the segments after it are "
        "missing); the sectors it lacks cannot be read",
        fs::path(names[count - 1]).filename().string());
  };
  const uint32_t result = OpenLibyal(
      api, libewf_handle_initialize,
      [&](libewf_handle_t* h, libewf_error_t** e) {
        return libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, e);
      },
      NothingMore<libewf_handle_t, libewf_error_t>, libewf_handle_get_media_size, out, why,
      std::function<std::string(libewf_handle_t*)>(damage));
  libewf_glob_free(names, count, &error);
  if (error != nullptr) libewf_error_free(&error);
  return result;
}

// A differencing image's parent: the stored name as it is (absolute, or relative to the child's folder),
// else a file of its name beside the child. Windows writers store "C:\\dir\\base.vhd" or ".\\base.vhd".
fs::path FindParent(const fs::path& child, std::string stored) {
  std::replace(stored.begin(), stored.end(), '\\', '/');
  if (stored.empty()) return {};
  const fs::path named(stored);
  std::error_code ec;
  const fs::path asGiven = named.is_absolute() ? named : child.parent_path() / named;
  if (fs::is_regular_file(asGiven, ec)) return asGiven;
  const fs::path beside = child.parent_path() / named.filename();
  if (fs::is_regular_file(beside, ec)) return beside;
  return {};
}

// A chain of parents deeper than this is refused (it also stops an image that names itself).
constexpr unsigned kMaxParentDepth = 16;

// The text a libyal string getter gives, or empty.
template <typename Get>
std::string LibraryString(Get get) {
  std::array<uint8_t, 4096> text{};
  if (get(text.data(), text.size()) != 1) return {};
  return std::string(reinterpret_cast<const char*>(text.data()));
}

// What OpenLibyal gave, with the parent a differencing image reads through handed to it to keep.
template <typename Handle, typename Error>
uint32_t KeepParent(uint32_t opened, std::unique_ptr<ImageContainer>& out,
                    std::unique_ptr<ImageContainer> parent, uint64_t piece = 0) {
  if (opened == err::kSuccess && parent)
    static_cast<LibyalContainer<Handle, Error>*>(out.get())->Adopt(std::move(parent), piece);
  return opened;
}

uint32_t OpenVhd(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                 unsigned depth);
uint32_t OpenVmdk(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                  unsigned depth);
uint32_t OpenQcow(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                  unsigned depth);

uint32_t OpenQcowOrRaw(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                       unsigned depth) {
  if (DetectImageFormat(path) != ImageFormat::kQcow) {
    if (why != nullptr) *why = "it is not a QCOW image; only QCOW backing files are read";
    return err::kNotSupported;
  }
  return OpenQcow(path, out, why, depth);
}

// Opens the parent `stored` of the differencing image `child` with `open`; on failure `why` says which parent
// and what is wrong with it.
template <typename Open>
uint32_t OpenParent(const fs::path& child, const std::string& stored, unsigned depth, Open open,
                    std::unique_ptr<ImageContainer>& parent, std::string* why) {
  auto say = [&](std::string text) {
    if (why != nullptr) *why = std::move(text);
  };
  if (depth >= kMaxParentDepth) {
    say(fmt::format("its chain of parent images is deeper than {} (or names itself)", kMaxParentDepth));
    return err::kInvalidData;
  }
  const fs::path found = FindParent(child, stored);
  if (found.empty()) {
    say(fmt::format("it is a differencing image, and its parent {} is not there (put it beside the image)",
                    stored.empty() ? std::string("(unnamed)") : stored));
    return err::kFileNotFound;
  }
  std::string parentWhy;
  if (const uint32_t e = open(found, parent, &parentWhy, depth + 1); e != err::kSuccess) {
    say(fmt::format("its parent image {} cannot be opened: {}", found.filename().string(),
                    parentWhy.empty() ? ErrorText(e) : parentWhy));
    return e;
  }
  return err::kSuccess;
}

uint32_t OpenVhd(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                 unsigned depth) {
  const LibyalApi<libvhdi_file_t, libvhdi_error_t> api{libvhdi_file_close,
                                                       libvhdi_file_free,
                                                       libvhdi_file_read_buffer_at_offset,
                                                       libvhdi_error_free,
                                                       libvhdi_error_backtrace_sprint,
                                                       nullptr,
                                                       nullptr};
  const std::string name = path.string();
  std::unique_ptr<ImageContainer> parent;
  const uint32_t opened = OpenLibyal(
      api, libvhdi_file_initialize,
      [&](libvhdi_file_t* f, libvhdi_error_t** e) {
        return libvhdi_file_open(f, name.c_str(), LIBVHDI_OPEN_READ, e);
      },
      [&](libvhdi_file_t* f, libvhdi_error_t** e) {
        // A differencing disk holds only what changed since its parent: read through the parent, which
        // must be the very image it was made from.
        uint32_t type = 0;
        if (libvhdi_file_get_disk_type(f, &type, e) != 1) return -1;
        if (type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return 1;
        const std::string stored = LibraryString([&](uint8_t* text, size_t size) {
          return libvhdi_file_get_utf8_parent_filename(f, text, size, nullptr);
        });
        if (OpenParent(path, stored, depth, OpenVhd, parent, why) != err::kSuccess) return -1;
        auto* base = static_cast<LibyalContainer<libvhdi_file_t, libvhdi_error_t>*>(parent.get());
        std::array<uint8_t, 16> wanted{}, has{};
        if (libvhdi_file_get_parent_identifier(f, wanted.data(), wanted.size(), nullptr) == 1 &&
            libvhdi_file_get_identifier(base->RawHandle(), has.data(), has.size(), nullptr) == 1 &&
            wanted != has) {
          if (why != nullptr)
            *why = fmt::format(
                "its parent image {} is not the one it was made from (their identifiers differ)", stored);
          return -1;
        }
        return libvhdi_file_set_parent_file(f, base->RawHandle(), e);
      },
      libvhdi_file_get_media_size, out, why);
  return KeepParent<libvhdi_file_t, libvhdi_error_t>(opened, out, std::move(parent));
}

uint32_t OpenVmdk(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                  unsigned depth) {
  const LibyalApi<libvmdk_handle_t, libvmdk_error_t> api{libvmdk_handle_close,
                                                         libvmdk_handle_free,
                                                         libvmdk_handle_read_buffer_at_offset,
                                                         libvmdk_error_free,
                                                         libvmdk_error_backtrace_sprint,
                                                         nullptr,
                                                         nullptr};
  const std::string name = path.string();
  std::unique_ptr<ImageContainer> parent;
  const uint32_t opened = OpenLibyal(
      api, libvmdk_handle_initialize,
      [&](libvmdk_handle_t* h, libvmdk_error_t** e) {
        return libvmdk_handle_open(h, name.c_str(), LIBVMDK_OPEN_READ, e);
      },
      // The extents the descriptor names, beside it (for a monolithic file, the file itself): each checked
      // first, so that a missing one is named, and a name holding a folder (which the library mishandles,
      // reading past the name) is refused.
      [&](libvmdk_handle_t* h, libvmdk_error_t** e) {
        int extents = 0;
        if (libvmdk_handle_get_number_of_extents(h, &extents, e) != 1) return -1;
        for (int i = 0; i < extents; ++i) {
          libvmdk_extent_descriptor_t* extent = nullptr;
          if (libvmdk_handle_get_extent_descriptor(h, i, &extent, e) != 1) return -1;
          std::array<uint8_t, 1024> extentName{};
          const int named =
              libvmdk_extent_descriptor_get_utf8_filename(extent, extentName.data(), extentName.size(), e);
          libvmdk_extent_descriptor_free(&extent, nullptr);
          if (named == -1) return -1;
          if (named == 0) continue;
          const std::string file(reinterpret_cast<const char*>(extentName.data()));
          if (file.find_first_of("/\\") != std::string::npos) {
            if (why != nullptr)
              *why = fmt::format(
                  "its extent file \"{}\" lies in another folder; only extents "
                  "beside the descriptor are read",
                  file);
            return -1;
          }
          std::error_code ec;
          if (!fs::is_regular_file(path.parent_path() / file, ec)) {
            if (why != nullptr) *why = fmt::format("its extent file {} is missing", file);
            return -1;
          }
        }
        if (libvmdk_handle_open_extent_data_files(h, e) != 1) return -1;
        // A snapshot (delta) disk reads through the parent it names, which must carry the content
        // identifier it was made from.
        uint32_t parentContent = 0xFFFFFFFFu;
        if (libvmdk_handle_get_parent_content_identifier(h, &parentContent, nullptr) != 1 ||
            parentContent == 0xFFFFFFFFu)
          return 1;
        const std::string stored = LibraryString([&](uint8_t* text, size_t size) {
          return libvmdk_handle_get_utf8_parent_filename(h, text, size, nullptr);
        });
        if (stored.empty()) return 1;
        if (OpenParent(path, stored, depth, OpenVmdk, parent, why) != err::kSuccess) return -1;
        auto* base = static_cast<LibyalContainer<libvmdk_handle_t, libvmdk_error_t>*>(parent.get());
        uint32_t content = 0;
        if (libvmdk_handle_get_content_identifier(base->RawHandle(), &content, nullptr) == 1 &&
            content != parentContent) {
          if (why != nullptr)
            *why = fmt::format(
                "its parent image {} is not the one it was made from (its content identifier is "
                "{:08x}, the image names {:08x})",
                stored, content, parentContent);
          return -1;
        }
        return libvmdk_handle_set_parent_handle(h, base->RawHandle(), e);
      },
      libvmdk_handle_get_media_size, out, why);
  return KeepParent<libvmdk_handle_t, libvmdk_error_t>(opened, out, std::move(parent));
}

// A QCOW image's cluster size from its header (version 1: a byte at 32; later: big-endian at 20); the
// smallest there is when the header does not say.
uint64_t QcowClusterBytes(const fs::path& path) {
  constexpr uint64_t kSmallest = 512;
  os::File file;
  std::array<uint8_t, 36> head{};
  size_t got = 0;
  if (file.OpenRead(path) != err::kSuccess || file.ReadFullAt(0, head, got) != err::kSuccess ||
      got < head.size())
    return kSmallest;
  const uint32_t bits = Be32(head, 4) == 1 ? head[32] : Be32(head, 20);
  return bits >= 9 && bits <= 21 ? uint64_t{1} << bits : kSmallest;
}

uint32_t OpenQcow(const fs::path& path, std::unique_ptr<ImageContainer>& out, std::string* why,
                  unsigned depth) {
  const LibyalApi<libqcow_file_t, libqcow_error_t> api{libqcow_file_close,
                                                       libqcow_file_free,
                                                       libqcow_file_read_buffer_at_offset,
                                                       libqcow_error_free,
                                                       libqcow_error_backtrace_sprint,
                                                       nullptr,
                                                       nullptr};
  const std::string name = path.string();
  std::unique_ptr<ImageContainer> parent;
  const uint32_t opened = OpenLibyal(
      api, libqcow_file_initialize,
      [&](libqcow_file_t* f, libqcow_error_t** e) {
        return libqcow_file_open(f, name.c_str(), LIBQCOW_OPEN_READ, e);
      },
      [&](libqcow_file_t* f, libqcow_error_t** e) {
        // An overlay reads what it does not hold from its backing file. QCOW2 keeps no identifier of it:
        // its name and its size are what can be checked.
        const std::string stored = LibraryString([&](uint8_t* text, size_t size) {
          return libqcow_file_get_utf8_backing_filename(f, text, size, nullptr);
        });
        if (stored.empty()) return 1;
        if (OpenParent(path, stored, depth, OpenQcowOrRaw, parent, why) != err::kSuccess) return -1;
        auto* base = dynamic_cast<LibyalContainer<libqcow_file_t, libqcow_error_t>*>(parent.get());
        if (base == nullptr) {
          if (why != nullptr)
            *why = fmt::format("its backing file {} is not a QCOW image; only QCOW backing files are read",
                               stored);
          return -1;
        }
        return libqcow_file_set_parent_file(f, base->RawHandle(), e);
      },
      libqcow_file_get_media_size, out, why);
  if (opened != err::kSuccess || !parent) return opened;
  // The parent hands reads on to its own parent the same way: the smallest cluster along the chain.
  const uint64_t above =
      static_cast<LibyalContainer<libqcow_file_t, libqcow_error_t>*>(parent.get())->Piece();
  const uint64_t own = QcowClusterBytes(path);
  return KeepParent<libqcow_file_t, libqcow_error_t>(opened, out, std::move(parent),
                                                     above != 0 ? std::min(own, above) : own);
}

#else
// Built without the libyal readers (the Windows build): container images are named but not read.
uint32_t OpenEwf(const fs::path&, std::unique_ptr<ImageContainer>&, std::string*) {
  return err::kNotSupported;
}
uint32_t OpenVhd(const fs::path&, std::unique_ptr<ImageContainer>&, std::string*, unsigned) {
  return err::kNotSupported;
}
uint32_t OpenVmdk(const fs::path&, std::unique_ptr<ImageContainer>&, std::string*, unsigned) {
  return err::kNotSupported;
}
uint32_t OpenQcow(const fs::path&, std::unique_ptr<ImageContainer>&, std::string*, unsigned) {
  return err::kNotSupported;
}
#endif

// ---- Split raw: the pieces one after another. Every piece but the last has the first one's size, as
// every splitting tool writes them: a piece missing or cut short in the middle would shift all that follows,
// so the set is refused, naming it.
std::atomic<bool> splitGapsUnreadable{false};

class SplitRawContainer final : public ImageContainer {
 public:
  uint32_t Open(const fs::path& first, std::string* why) {
    auto say = [why](std::string text) {
      if (why != nullptr) *why = std::move(text);
    };
    // The pieces there, up to the last one found: a gap of up to 63 missing pieces is looked across.
    std::error_code ec;
    std::vector<fs::path> names;
    size_t present = 0;
    for (unsigned n = 0, misses = 0; n < kMaxSplitPieces && misses < 64; ++n) {
      const fs::path piece = SplitPiece(first, n);
      if (piece.empty()) break;
      names.push_back(piece);
      if (fs::is_regular_file(piece, ec)) {
        present = names.size();
        misses = 0;
      } else {
        ++misses;
      }
    }
    names.resize(present);
    if (names.empty()) return err::kFileNotFound;
    const bool gapsUnreadable = splitGapsUnreadable.load();
    for (const fs::path& piece : names) {
      Piece p{os::File(), bytes_, 0, piece.filename().string(), false};
      if (!fs::is_regular_file(piece, ec)) {
        if (!gapsUnreadable) {
          say(fmt::format("piece {} of the split image is missing (the pieces after it are there)", p.name));
          return err::kFileNotFound;
        }
        p.missing = true;
      } else {
        if (uint32_t e = p.file.OpenRead(piece); e != err::kSuccess) {
          say(fmt::format("piece {} cannot be opened", p.name));
          return e;
        }
        if (uint32_t e = p.file.Size(p.size); e != err::kSuccess) return e;
      }
      if (!pieces_.empty()) {
        // Every piece but the last holds what the first holds; with gaps allowed, a missing or short one
        // stands for that much, its lack unreadable.
        const uint64_t size = pieces_.front().size;
        const bool last = pieces_.size() + 1 == names.size();
        if (p.size > size) {
          say(
              fmt::format("piece {} of the split image is larger than the first piece: it does not belong to "
                          "the set",
                          p.name));
          return err::kInvalidData;
        }
        if (p.size < size && (!last || p.missing)) {
          if (!gapsUnreadable) {
            say(
                fmt::format("piece {} of the split image holds {} bytes where the others hold {}: it is cut "
                            "short or does not belong to the set",
                            p.name, p.size, size));
            return err::kInvalidData;
          }
          p.lacking = size - p.size;
          p.size = size;
        }
      }
      bytes_ += p.size;
      pieces_.push_back(std::move(p));
    }
    return err::kSuccess;
  }

  std::string Damage() const override {
    std::string text;
    for (const Piece& p : pieces_) {
      if (p.lacking == 0) continue;
      const uint64_t from = (p.start + p.size - p.lacking) / 512, to = (p.start + p.size) / 512 - 1;
      text += fmt::format("{}piece {} {}: sectors {}-{} are unreadable", text.empty() ? "" : "; ", p.name,
                          p.missing ? "is missing" : "is cut short", from, to);
    }
    return text;
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
      if (it->missing) return err::kReadFault;
      if (uint32_t e = it->file.ReadFullAt(at - it->start, buffer.subspan(got, want), n); e != err::kSuccess)
        return e;
      got += n;
      // A piece shorter than when it was opened: what it lost cannot be read, and nothing after it moves.
      if (n < want) return err::kReadFault;
    }
    return err::kSuccess;
  }

 private:
  struct Piece {
    os::File file;
    uint64_t start;
    uint64_t size;  // as the set places it; with gaps allowed, `lacking` of it are not in the file
    std::string name;
    bool missing;
    uint64_t lacking = 0;
  };
  std::vector<Piece> pieces_;
  uint64_t bytes_ = 0;
};

}  // namespace

void SetSplitGapsUnreadable(bool unreadable) {
  splitGapsUnreadable.store(unreadable);
}

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
  // A first piece with any later piece beside it (the second may be the one missing).
  std::error_code ec;
  for (unsigned index = 1; index < 64; ++index) {
    const fs::path later = SplitPiece(path, index);
    if (later.empty()) break;
    if (fs::is_regular_file(later, ec)) return ImageFormat::kSplitRaw;
  }
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

uint32_t OpenImageContainer(const fs::path& path, ImageFormat format, std::unique_ptr<ImageContainer>& out,
                            std::string* why) {
  out.reset();
  if (why != nullptr) why->clear();
  std::error_code ec;
  if (!fs::exists(path, ec)) return err::kFileNotFound;
  switch (format) {
    case ImageFormat::kEwf:
      return OpenEwf(path, out, why);
    case ImageFormat::kVhd:
    case ImageFormat::kVhdx:
      return OpenVhd(path, out, why, 0);
    case ImageFormat::kVmdk:
      return OpenVmdk(path, out, why, 0);
    case ImageFormat::kQcow:
      return OpenQcow(path, out, why, 0);
    case ImageFormat::kSplitRaw: {
      auto split = std::make_unique<SplitRawContainer>();
      if (uint32_t e = split->Open(path, why); e != err::kSuccess) return e;
      out = std::move(split);
      return err::kSuccess;
    }
    case ImageFormat::kRaw:
      break;
  }
  return err::kInvalidParameter;
}

std::string ImageProblem(const fs::path& path) {
  const ImageFormat format = DetectImageFormat(path);
  if (format == ImageFormat::kRaw) return {};
  std::unique_ptr<ImageContainer> container;
  std::string why;
  const uint32_t e = OpenImageContainer(path, format, container, &why);
  if (e == err::kSuccess) return container->Damage();
  if (e == err::kNotSupported) return {};
  return fmt::format("{} image cannot be opened: {}", ImageFormatName(format),
                     why.empty() ? ErrorText(e) : why);
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
