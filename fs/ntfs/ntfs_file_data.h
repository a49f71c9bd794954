// What both NTFS engines do with a listed file record: walk its attributes, check its first data against its
// type, and read its data back for preview and recovery.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_record.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_volume.h"

namespace snapsave {

struct RecordWalk {
  std::vector<Attribute> attributes;
  bool ok = false;  // false when the walk broke on an attribute that would leave the bytes in use
};
// The attributes of a fixed-up record up to its bytes in use, so that a record whose walk breaks can be
// skipped as a whole.
RecordWalk WalkRecord(ByteSpan record);

// Whether the first data of the file `record` (whose fixed-up MFT record is `recordBytes`) matches its
// extension; true whenever that cannot be checked. Non-resident data is located through `volume`.
bool NtfsContentCheck(const NtfsVolume& volume, const FoundFileRecord& record, ByteSpan recordBytes);

// Hands the file's data, up to `total` bytes (at most fileSize) and to what the medium holds, to `sink`,
// reading the MFT record at record.entryLocation through `volume`. 0, a Win32 error or the sink's answer.
int32_t ReadNtfsFileData(const NtfsVolume& volume, const FoundFileRecord& record, uint64_t total,
                         const std::function<int32_t(ByteSpan)>& sink);

}  // namespace snapsave
