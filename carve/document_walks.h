// Length rules for documents, archives, databases and the audio and raw formats whose files state or frame
// their own ends. Like the container walkers, each reads only what its structure points at, through the
// carving context, validates it, and answers 0 where it cannot measure so that the plain rule of its type
// measures instead. Those that take `validEnd` set it, when their structure breaks off, to the end of the
// last whole unit walked.
#pragma once

#include <cstdint>

#include "carve/container_walks.h"

namespace snapsave {

// PDF: the last "%%EOF" whose "startxref" points at a cross-reference section or stream, as long as what
// follows it is another incremental update; with no such "%%EOF" before the limit, the medium's end or a
// sector that `stop` says starts something else, the last "%%EOF" of any kind. 0 when there is none.
uint64_t PdfLength(FileBytes& file, uint64_t limit, SectorStop stop);

// gzip: each member inflated to its end, the trailer's CRC and size checked by zlib; members that follow
// directly are taken too.
uint64_t GzipLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// bzip2: each stream decompressed to its end-of-stream marker (block and stream CRCs checked by libbz2);
// streams that follow directly are taken too.
uint64_t Bzip2Length(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// xz: each stream decoded to its footer (checks verified by liblzma); streams that follow directly are taken
// too.
uint64_t XzLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// 7z: the start header (its CRC checked) says where the next header lies and how long it is.
uint64_t SevenZipLength(FileBytes& file, uint64_t limit);

// RAR 4 and 5: blocks by their sizes, each header's CRC checked, to the end-of-archive block; an archive
// without one ends after its last valid block.
uint64_t RarLength(FileBytes& file, uint64_t limit);

// SQLite: page size times the header's page count, when the count is valid (written by 3.7.0 and later).
uint64_t SqliteLength(FileBytes& file, uint64_t limit);

// Outlook PST/OST, ANSI or Unicode: the end-of-file offset in the header's root.
uint64_t PstLength(FileBytes& file, uint64_t limit);

// AAC in ADTS frames: frames of one stream by their lengths; an ID3v1 tag after them included.
uint64_t AdtsLength(FileBytes& file, uint64_t limit);

// AMR narrow- or wideband: the magic, then good frames by their types' sizes, all of the first speech frame's
// mode or comfort noise or no data (an encoder keeps its mode; slack rarely passes for such a frame).
uint64_t AmrLength(FileBytes& file, uint64_t limit);

// Fujifilm RAF: the furthest of the preview, CFA header and CFA data blocks the header points at.
uint64_t RafLength(FileBytes& file, uint64_t limit);

// AIFF: the FORM chunk's size and its header, padded to an even length.
uint64_t IffLength(FileBytes& file, uint64_t limit);

}  // namespace snapsave
