// What the main window's source files share: message numbers, end codes, control names and small helpers.
#pragma once

#include <QString>

#include <memory>
#include <string>
#include <vector>

#include "sessions/scan_session.h"
#include "storage/disk_list.h"
#include "ui/controls.h"

namespace snapsave::app::wnd {

inline constexpr uint32_t kScanFinished = 0x401;
inline constexpr uint32_t kResultsReady = 0x402;
inline constexpr int kEndFinished = 1;
inline constexpr int kEndFailed = 3;
inline constexpr int kTimerArrival = 0;
inline constexpr int kTimerRemoval = 1;
inline constexpr int kDeviceSettleMs = 5000;
inline constexpr size_t kPreviewCapacity = 1 << 20;
// Loaded image files are all read as one source; their records carry this letter.
inline constexpr char16_t kImageLetter = u'A';

inline const char* const kTypeGroups[] = {"FileTypePhoto", "FileTypeAudio", "FileTypeVideo",
                                          "FileTypeDocument"};
inline const char* const kGroupBoxes[] = {"OptPhotoFile", "OptAudioFile", "OptVideoFile", "OptDocumentFile"};
inline const char* const kCategoryNodes[] = {"NodePhoto", "NodeAudio", "NodeVideo", "NodeDocument"};

inline QString Q(const char* text) {
  return QString::fromLatin1(text);
}
inline QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// Every option of a group below its first row (the group box's row), in layout order.
inline std::vector<ui::COptionUI*> GroupOptions(ui::CControlUI* group) {
  std::vector<ui::COptionUI*> options;
  auto* box = dynamic_cast<ui::CContainerUI*>(group);
  if (box == nullptr) return options;
  for (size_t i = 1; i < box->Items().size(); ++i) {
    ui::CControlUI* row = box->Items()[i];
    if (auto* option = dynamic_cast<ui::COptionUI*>(row)) {
      options.push_back(option);
      continue;
    }
    if (auto* container = dynamic_cast<ui::CContainerUI*>(row)) {
      for (ui::CControlUI* item : container->Items()) {
        if (auto* option = dynamic_cast<ui::COptionUI*>(item)) options.push_back(option);
      }
    }
  }
  return options;
}

inline QStringList ExtensionsOf(const ui::COptionUI* option) {
  QStringList extensions;
  for (const QString& part : option->UserData().split(QLatin1Char('|'), Qt::SkipEmptyParts))
    extensions.push_back(part.trimmed().toLower());
  return extensions;
}

inline std::vector<ScanTarget*> PointersOf(const std::vector<std::unique_ptr<ScanTarget>>& targets) {
  std::vector<ScanTarget*> pointers;
  for (const auto& t : targets) pointers.push_back(t.get());
  return pointers;
}

inline std::unique_ptr<ScanTarget> VolumeTarget(const VolumeInfo& volume) {
  auto target = std::make_unique<ScanTarget>();
  target->volume = volume;
  return target;
}

}  // namespace snapsave::app::wnd
