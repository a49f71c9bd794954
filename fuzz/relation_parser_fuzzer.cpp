// The catalogue's side files as they may be found on damaged or crafted media: the relation text and the
// folder names. Parsing must stay within the bytes, and what is parsed must survive being written and read
// again.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "catalog/catalogue_format.h"

using namespace snapsave;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const RelationMap relations = ParseRelationText(bytes);
  std::string text;
  for (const auto& [key, ids] : relations) AppendRelationEntry(text, key, ids);
  const RelationMap again =
      ParseRelationText(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  if (again != relations) std::abort();

  const auto folders = ParseFolderNames(bytes);
  if (folders.size() != size / kFolderNameRecordSize) std::abort();
  std::array<uint8_t, kFolderNameRecordSize> rec{};
  for (const auto& f : folders) {
    EncodeFolderName(f, rec);
    const auto back = ParseFolderNames(rec);
    // A name that filled its field without a terminator comes back cut at a character boundary.
    if (back.size() != 1 || !f.name.starts_with(back[0].name) || back[0].entryRef != f.entryRef) std::abort();
  }
  return 0;
}
