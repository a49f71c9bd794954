// A saved catalogue as damaged or crafted media may leave it: records, relations and folder names cut from
// the input. The folders a record lies in and its path must come back without hanging or reading past the
// files, whatever loops or dangling numbers the relations hold.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "catalog/found_file_catalogue.h"

using namespace snapsave;
namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path folder =
      fs::temp_directory_path() / ("snapsave-paths-fuzz-" + std::to_string(getpid()));
  static const bool made = fs::create_directories(folder) || fs::is_directory(folder);
  if (!made || size < 2) return 0;
  // The first two bytes say where the records end and the relations begin (in 346-byte records and bytes).
  const std::span<const uint8_t> rest(data + 2, size - 2);
  const size_t records = std::min<size_t>(rest.size(), size_t{data[0]} % 8 * kRecordSize);
  const size_t relations = std::min<size_t>(rest.size() - records, size_t{data[1]} * 4);
  Write(folder / "log", rest.subspan(0, records));
  Write(folder / "log_Relation", rest.subspan(records, relations));
  Write(folder / "log_DirInfo", rest.subspan(records + relations));

  FoundFileCatalogue catalogue;
  if (catalogue.OpenIn(folder, "log") != 0) return 0;
  RecordList all;
  catalogue.ListFolder(0, all);
  for (uint32_t id = 1; id <= catalogue.TotalRecords() + 1; ++id) {
    FoundFileRecord record = MakeEmptyRecord();
    record.recordId = id;
    all.push_back(record);
  }
  for (const FoundFileRecord& record : all) {
    RecordList ancestors;
    catalogue.CollectAncestors(&record, ancestors);
    std::string path;
    catalogue.GetRecordPath(&record, path);
  }
  return 0;
}
