// A source as a user names it, planned into the targets a scan, a recovery or a disk image works on, and the
// checks made before anything is written: one plan for both front ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engines/volume_search.h"
#include "os/device.h"
#include "sessions/destination_checks.h"
#include "sessions/scan_session.h"
#include "storage/disk_list.h"

namespace snapsave {

// Identity letter of an image source's engine; disk entries use their listing number.
inline constexpr char16_t kImageLetter = u'A';

// An image file as the user is offered it: a single volume, or a whole disk (registered in os::DiskTable)
// whose volumes and free stretches are listed as a physical disk's, numbered from 1.
struct ImageDisk {
  int32_t diskNumber = -1;  // -1: the image is one volume
  std::vector<VolumeInfo> entries;
};
// A partition table makes the image a disk, unless a file system starts at its first sector (a volume's
// boot sector can pass for a table). 0, or the Win32 error of reading the image.
// The image is numbered in `disks`.
uint32_t ReadImageDisk(os::DiskTable& disks, const std::filesystem::path& image, ImageDisk& out);

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
// "card.img@2048": how a volume found by its own structures (a search for lost volumes) is named.
std::string FoundVolumeName(const std::filesystem::path& image, const FoundVolume& found);
// The listing's entry for such a volume, numbered `number`: its file system and label as probed.
VolumeInfo FoundVolumeEntry(const std::filesystem::path& image, const FoundVolume& found, uint32_t number);
// The entries the listing shows for found volumes of disk `diskEntry` (a whole-disk entry, or any entry of
// the disk): those no entry of `known` starts at, numbered on from `firstNumber`, each named "found volume at
// sector N (FAT32, LABEL, size)" in its rootPath.
std::vector<VolumeInfo> FoundVolumeEntries(const VolumeInfo& diskEntry, const std::vector<FoundVolume>& found,
                                           const std::vector<VolumeInfo>& known, uint32_t firstNumber);

// An entry's ID as shown and typed: its drive letter ("E:") when it has one (Windows), else its number.
std::string EntryId(char16_t driveLetter);
// The ID typed: a number, or a drive letter with or without its colon; nothing for anything else.
std::optional<uint32_t> ParseEntryId(std::string_view text);

// How an image file is read as a disk; ReadImageDisk in production.
using ImageDiskReader = std::function<uint32_t(const std::filesystem::path&, ImageDisk&)>;

// SOURCE as typed: an existing image file (a whole-disk image when it holds a partition table); an entry of
// one as "IMAGE:N"; the volume that starts at sector S of one as "IMAGE@S" (found by a search, or named by
// no table); "disk<N>" for whole disk N; a number, the identity of an entry of `entries` (the
// listing); or a device node of a listed volume or disk ("/dev/sdb1"). An error text when it names nothing.
struct SourceOrError {
  std::optional<Source> source;
  std::string error;
};
SourceOrError ResolveSource(std::string_view text, const std::vector<VolumeInfo>& entries,
                            const ImageDiskReader& readImage);
// The same, whole-disk images numbered in `disks`.
SourceOrError ResolveSource(std::string_view text, const std::vector<VolumeInfo>& entries,
                            os::DiskTable& disks);

// "photo,pdf,.MP3" -> "*.bmp|*.gif|...|*.pdf|*.mp3|": category names stand for their whole lists, anything
// else for one extension. An error text for an empty list or a name that cannot be an extension.
struct TypesOrError {
  std::string extensionList;
  std::string error;
};
TypesOrError ParseTypes(std::string_view text);
// Every name ParseTypes takes: the categories, then the known extensions in order.
std::vector<std::string> KnownTypeNames();

// Lower-cased extension of a name without its dot ("" when none): the group a file is listed under.
std::string ExtensionOf(std::string_view name);

// What is wrong with an image file, for a warning before it is used: its container's damage, what it lacks
// of its partition table, and what it lacks of the one volume it holds. Empty when nothing is known.
std::string ImageWarningsOf(const std::filesystem::path& image);

// "1.5 GiB", "512 B".
std::string HumanSize(uint64_t bytes);

// The source as a scan target; a whole disk gets its size from the device when the listing had none. 0, or
// the error of opening the disk.
uint32_t MakeTarget(const Source& source, ScanTarget& target);
// Whether a quick engine reads the entry's file system.
bool QuickScannable(const VolumeInfo& v);
// Fills in the used and free space of a volume the system did not say (not mounted) from its file system's
// own allocation records, reading its disk or image; leaves them unknown where they cannot be read.
void LearnVolumeSpace(VolumeInfo& v);
// One scan target of a source, with the names its results are shown and recovered under.
struct NamedTarget {
  std::unique_ptr<ScanTarget> target;
  std::string name;    // "card.img:1", or the source's description when it is the only one
  std::string folder;  // below the recovery folder; empty when the source has one target
};
// The targets of a source: one, or every entry of a whole-disk image (a quick scan only its volumes of a
// file system the quick engines read). Empty with `error` set when the source cannot be opened.
std::vector<NamedTarget> MakeTargets(const Source& source, bool deep, uint32_t& error);
// The bytes an image of the target takes.
uint64_t SourceBytes(const ScanTarget& target);
// Why no engine could be made for a target: the error opening it, or, with none, no volume the scan reads
// (a quick scan) or a source too short to hold one.
std::string WhyNoEngine(const ScanTarget& target, bool quick, uint32_t& error);
// Why a scan of `target` could not start, in words for someone who is no engineer: no disk image, no right
// to read the disk, a source that cannot be read, no file system found (quick scans).
std::string WhyCannotScan(const ScanTarget& target, bool quick);

// Which engine found a record: the message that names it ("FAT quick scan"), or, for a file system whose row
// names none, its name and the message to put it in ("%s quick scan"). Nothing for a kind no row knows.
struct FoundBy {
  std::string_view messageId;
  std::string_view fileSystem;  // set when messageId takes it
};
std::optional<FoundBy> FoundByOf(const FoundFileRecord& record);

// What stands against writing somewhere, found before anything is written.
enum class WriteProblem {
  kNone,
  kNotWritable,     // the folder or file cannot be made or written (`error` says why)
  kOnSource,        // it would be written onto what is read
  kFatTooSmall,     // FAT12/16 holds no file over 2 GiB
  kFat32TooSmall,   // FAT32 holds no file of 4 GiB or more
  kNotEnoughSpace,  // less free space than the bytes to write
};
struct WriteCheck {
  WriteProblem problem = WriteProblem::kNone;
  uint32_t error = 0;      // kNotWritable: the Win32 error
  uint64_t bytes = 0;      // kFat*TooSmall: the largest file; kNotEnoughSpace: the bytes needed
  std::string volumeName;  // kOnSource: what is read there
};
// The checks in the order a user meets them: where the files go is on a source (unless `force`), cannot
// be written, lies on a FAT volume too small for the largest file, or has too little free space for all
// of them. `volumeOf` tells the file system and free space of a path.
using TargetVolumeFn = std::function<TargetVolume(const std::filesystem::path&)>;
WriteCheck CheckRecoveryDestination(const std::filesystem::path& folder, std::span<ScanTarget* const> targets,
                                    uint64_t totalBytes, uint64_t largestFile, bool force,
                                    const TargetVolumeFn& volumeOf);
WriteCheck CheckImageDestination(const std::filesystem::path& image, const ScanTarget& source,
                                 uint64_t sourceBytes, bool force, const TargetVolumeFn& volumeOf);
// The words of a problem, for either front end; empty for none.
// Why a folder cannot be written, in words for someone who is no engineer ("you have no right to write
// there", "the disk is write-protected", ...); the system's text for anything else.
std::string PlainWriteReason(uint32_t error);
std::string WriteProblemText(const WriteCheck& check, const std::filesystem::path& where);

}  // namespace snapsave
