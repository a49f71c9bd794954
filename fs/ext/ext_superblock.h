// The ext2/3/4 superblock test of the engine factory.
#pragma once

#include "os/byte_reader.h"

namespace snapsave {

// `superblock` is the 1024 bytes from volume byte 1024 on.
bool IsExtSuperblock(ByteSpan superblock);

}  // namespace snapsave
