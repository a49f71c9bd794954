// Length rules: how many bytes, from the start of its header sector, belong to a carved file. A rule sees the
// header sector; everything else (start sector, reader, work buffer, progress) comes from the carving
// context. Each format's rule sits in length_rules.cpp under the same heading as its header test in
// header_tests.cpp.
#pragma once

#include <cstdint>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "os/byte_reader.h"

namespace snapsave {

namespace length_limit {
inline constexpr uint64_t k8MiB = uint64_t{8} << 20;
inline constexpr uint64_t k128MiB = uint64_t{128} << 20;
inline constexpr uint64_t k256MiB = uint64_t{256} << 20;
inline constexpr uint64_t k2GiB = uint64_t{2} << 30;
inline constexpr uint64_t k6GiB = uint64_t{6} << 30;
inline constexpr uint64_t k64GiB = uint64_t{64} << 30;
}  // namespace length_limit

// A sector of file-system metadata (NTFS records, index and log pages, FAT/NTFS/exFAT boot sectors, FAT
// directory blocks): it ends any file being measured.
bool IsFileSystemSector(ByteSpan sector);

// The length in bytes of the file of type `typeCode` whose header sector is `header`, by `rule`. Never more
// than the medium holds from the start sector on, nor more than the rule's limit plus one sector. Needs the
// context's work buffer; without it the file is one sector long. A progress callback's non-zero answer is
// left in the context's callback result and ends the rule at once.
uint64_t MeasureLength(CarvingContext& ctx, LengthRule rule, uint32_t typeCode, ByteSpan header);

// Whether the sector `sector` (absolute) starts another file or is file-system metadata: the end of a file
// cut short.
bool StartsOtherFile(CarvingContext& ctx, uint64_t sector, ByteSpan bytes);

// Whether a marker ending at chunk offset `end` ends a file: at a sector boundary, or followed by nothing but
// zeros to the end of its sector (as systems pad a file's last sector).
bool AcceptEndMarker(ByteSpan chunk, size_t end, uint32_t sectorSize);

}  // namespace snapsave
