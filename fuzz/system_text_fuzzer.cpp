// Texts the system reads from files others write: udev records, partition types and file-system names from
// blkid, and message formats from editable language files. None may crash, and a format never prints more
// than its own text and its arguments.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sessions/session.h"
#include "storage/disk_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace snapsave;
  (void)disk_list_detail::UdevProperty(text, "ID_FS_TYPE");
  (void)disk_list_detail::PartitionTypeByte(text);
  const size_t half = size / 2;
  (void)disk_list_detail::FileSystemName(text.substr(0, half), text.substr(half));
  const std::string formatted = FormatMessage(text, {"ab", "cd"});
  if (formatted.size() > size + 4) std::abort();
  return 0;
}
