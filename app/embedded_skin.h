// The skin archive built from skin/ and linked into the program.
#pragma once

#include <QString>

#include <cstdint>
#include <span>

namespace snapsave::app {

std::span<const uint8_t> EmbeddedSkinZip();
// Makes the embedded archive the current skin; false (with a reason) when it does not read.
bool LoadEmbeddedSkin(QString* error = nullptr);

}  // namespace snapsave::app
