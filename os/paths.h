// Per-user and program folders.
#pragma once

#include <cstdint>
#include <filesystem>

namespace snapsave::os {

// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path AppDataFolder();
// "<app data>/Vornel Snapsave/ScanLog": the saved-scan store, catalogues and temporary preview files.
std::filesystem::path ScanLogFolder();
// Folder of the running executable.
std::filesystem::path ProgramDirectory();

// Creates a folder with all missing parents; an existing folder is success.
uint32_t CreateFolders(const std::filesystem::path& folder);

// True when `inner` lies strictly inside `outer` after both are made absolute and normalised lexically.
bool IsStrictlyInside(const std::filesystem::path& inner, const std::filesystem::path& outer);

}  // namespace snapsave::os
