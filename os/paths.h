// Per-user and program folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

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

// `name` (one path component, UTF-8) made creatable as written on this system: on Windows, characters
// its file systems refuse (<>:"|?*) become '_', a trailing dot or space becomes '_' (Windows would drop it),
// and device names (CON, NUL, COM1, ...) get a '_' in front; elsewhere unchanged.
std::string FitNameToSystem(std::string name);

}  // namespace snapsave::os
