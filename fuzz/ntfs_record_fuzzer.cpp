// MFT record parsing: fixups, the attribute walk, $FILE_NAME, run lists and attribute lists over arbitrary
// bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_run_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  std::vector<uint8_t> record(data, data + size);
  const uint32_t sectorSize = size > 2048 ? 4096 : 512;
  ApplyFixups(record, sectorSize, sectorSize == 512 ? 2 : 1);
  (void)IsPlausibleFileRecord(record, 1024);
  AttributeWalker walker(record, RecordBytesInUse(record));
  RunList runs;
  while (auto a = walker.Next()) {
    if (a->type == kAttrFileName) (void)ParseFileName(*a);
    if (a->nonResident) DecodeRunList(a->bytes, runs);
    if (a->type == kAttrAttributeList) (void)ParseAttributeList(a->Value());
  }
  (void)TotalClusters(runs);
  return 0;
}
