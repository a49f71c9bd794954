#include "filetypes/file_categories.h"

#include "os/text.h"

namespace snapsave {

bool NameExtensionInList(std::string_view name, std::string_view list) {
  return list.find(os::AsciiLower(os::ExtensionOf(name))) != std::string_view::npos;
}

std::string_view ClassifyFileName(std::string_view name) {
  const std::string ext = os::AsciiLower(os::ExtensionOf(name));
  struct Category {
    std::string_view name;
    std::string_view list;
  };
  static constexpr Category kOrder[] = {{kCategoryPhoto, kPhotoList},
                                        {kCategoryAudio, kAudioList},
                                        {kCategoryVideo, kVideoList},
                                        {kCategoryDocument, kDocumentList},
                                        {kCategoryArchive, kArchiveList}};
  for (const auto& c : kOrder) {
    if (c.list.find(ext) != std::string_view::npos) return c.name;
  }
  if (!ext.empty() && kPhotoWholeItemList.find("*." + ext + "|") != std::string_view::npos)
    return kCategoryPhoto;
  return kCategoryOthers;
}

PreviewKind PreviewKindOf(std::string_view name) {
  if (NameExtensionInList(name, kAudioList) || NameExtensionInList(name, kVideoList))
    return PreviewKind::kMedia;
  if (NameExtensionInList(name, kPhotoList)) return PreviewKind::kPicture;
  return PreviewKind::kBuffer;
}

}  // namespace snapsave
