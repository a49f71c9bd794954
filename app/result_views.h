// The main window's result views: the disk list, the type tree and the file list, and the large mode buttons.
#pragma once

#include <QString>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "catalog/found_file_record.h"
#include "storage/disk_list.h"
#include "ui/controls.h"
#include "ui/list.h"
#include "ui/tree.h"

namespace snapsave::app {

// What a file-list row shows of a record.
namespace result_view {
inline const QString kNoTime = QStringLiteral("    ----    ");
// "folder", the text after the last "." of the name, or "file".
QString TypeText(const FoundFileRecord& record);
// "Deleted, intact", "Damaged", "Deleted, damaged, name guessed": whether the file was deleted (where its
// source tells), whether it looks intact, and whether its name's first letter was guessed; in the words of
// the results filter's states.
QString StateText(const FoundFileRecord& record);
// "FileIcon/image.png", "FileIcon/doc_error.png", ...
QString IconFile(const QString& typeText, bool isFolder, bool intact);
// "%04d-%02d-%02d %02d:%02d:%02d" of the stored time, or kNoTime for 0.
QString TimeText(uint64_t fileTime);
// A disk-list row's first column: "3:\ CARD", "E:\ Photos", or "*:\" for an entry whose free space is
// negative.
QString VolumeCaption(const VolumeInfo& volume);
// A volume as Linux users know it: "/dev/sdb1 · CARD · FAT32 · 29.7 GB", `unallocated` in place of the device
// for a free stretch; with `short`, only the device and label (the list shows the rest in columns of its
// own). A mounted volume adds ", mounted at /media/card".
QString VolumeName(const VolumeInfo& volume, const QString& unallocated, bool brief);
}  // namespace result_view

// Found records shared by the result's views without copies (a list may hold a million).
using SharedRecords = std::shared_ptr<const RecordList>;

// Identifies a found record across lists: its volume, engine and creation number.
using RecordKey = std::tuple<uint16_t, uint32_t, uint32_t>;
inline RecordKey KeyOf(const FoundFileRecord& r) {
  return {r.driveLetter, r.sourceKind, r.recordId};
}

// The file list: one row per record of the selected type, a check box per row and in the header, sorting by
// the header. Rows keep the index of their record; their texts are made when they are shown, so that a
// million rows fill, filter and sort at once.
class CListExUI : public ui::CListUI {
 public:
  explicit CListExUI(QWidget* parent = nullptr);

  // Empties the list and adds a row per record, checked when its key is in `checked`. Returns the number of
  // checked rows.
  int Fill(SharedRecords records, const std::set<RecordKey>& checked);
  int Fill(const RecordList& records, const std::set<RecordKey>& checked) {
    return Fill(std::make_shared<const RecordList>(records), checked);
  }
  // Where the "Path" column gets each file's found folder ("DCIM/100CANON"); empty shows none.
  void SetPathSource(std::function<QString(const FoundFileRecord&)> pathOf) { pathOf_ = std::move(pathOf); }
  const FoundFileRecord& RecordOf(int row) const;
  int CheckedCount() const { return checkedCount_; }
  // The state the header box and the type node show for the rows' checks.
  ui::CheckState RowsState() const;
  // Counts a row's check that the user changed.
  void NoteRowCheck(int row, bool checked);
  void CheckAll(bool checked);

  // A header click: directions (names and types ascending first, sizes and times descending first), the
  // header images, and the sort.
  void SortByHeader(const QString& itemName);
  int Direction(const QString& itemName) const;

  // The name column's least width: about twenty characters.
  int NameRoom() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The other columns give way when the name would get less than NameRoom, one after the other down to a
  // floor (their text is then cut, the whole text in the cell's tool tip).
  void GiveNameRoom();
  // Sorts the rows by `keyOf(row)`.
  template <class KeyOfRow>
  void SortRowsBy(KeyOfRow keyOf, bool ascending);
  void MakeCells(const ui::ListRow& row, std::vector<ui::ListCell>& cells) const;

  SharedRecords records_ = std::make_shared<const RecordList>();
  mutable std::map<std::tuple<QString, bool, bool>, std::optional<ui::ImageDescriptor>> icons_;
  std::function<QString(const FoundFileRecord&)> pathOf_;
  std::map<QString, int> directions_;
  int checkedCount_ = 0;
  std::map<int, int> fitted_;  // column: width fitted to its texts
};

// The type tree: photo, audio and video categories with one node per found type, captioned with counts.
class CFileTreeUI : public ui::CTreeUI {
 public:
  explicit CFileTreeUI(QWidget* parent = nullptr);

  // Type captions and categories come from the file-type options: (extension, caption, category node name).
  struct TypeOption {
    QString extension;
    QString caption;   // "JPG (Joint Photographic)" -> node "JPG (n)"
    QString category;  // "NodePhoto", "NodeAudio", "NodeVideo", "NodeDocument"
  };
  // Rebuilds the tree from a search result (each type with its count) in its order; returns the first type
  // node (photo, audio, video).
  ui::TreeNode* Fill(const std::vector<std::pair<QString, size_t>>& result,
                     const std::vector<TypeOption>& options,
                     const std::map<QString, QString>& categoryCaptions);
  static int CountOf(const ui::TreeNode* node);
};

// The disk list: a node per disk, a row per entry of the listing.
class CDiskListUI : public ui::CListUI {
 public:
  explicit CDiskListUI(QWidget* parent = nullptr);
  // `diskCaption(disk, removable)` gives the node's text; `isRemovable(disk)` picks the volumes' icon (none:
  // every disk is fixed).
  void Fill(const std::vector<VolumeInfo>& entries, const std::function<QString(int32_t, bool)>& diskCaption,
            const std::function<bool(int32_t)>& isRemovable = {});
  // The name an unallocated stretch goes by in the list.
  void SetUnallocatedText(const QString& text) { unallocatedText_ = text; }
  const VolumeInfo* EntryOf(int row) const;
  // Takes the used and free space learnt for the entry of `row` (its bar follows).
  void SetEntrySpace(int row, const VolumeInfo& learnt);
  // Whether a row is a volume of a removable disk (the main window selects the first such row).
  bool IsRemovableRow(int row) const;
  // The disk number of a disk node; nothing for other rows.
  std::optional<int32_t> DiskOfNode(int row) const;
  // The entry rows under a disk node, in order.
  std::vector<int> RowsOfNode(int row) const;

  // Loaded image files are rows of their own after the disks; refills keep them. Adding a loaded one again
  // gives its row, with the size given now.
  struct ImageFile {
    std::filesystem::path path;
    uint64_t size = 0;
  };
  int AddImageFile(const std::filesystem::path& path, uint64_t size, const QString& typeText);
  const ImageFile* ImageOf(int row) const;
  void SetImageRowsVisible(bool visible);

 private:
  void AddImageRow(size_t index);

  std::vector<VolumeInfo> entries_;
  std::set<int32_t> removableDisks_;
  std::vector<ImageFile> images_;
  QString imageTypeText_;
  QString unallocatedText_ = QStringLiteral("Unallocated space");
  bool imagesVisible_ = true;
};

// A large mode button that says when the pointer enters and leaves it ("onhot", "offhot").
class CButtonExUI : public ui::CButtonUI {
 public:
  explicit CButtonExUI(QWidget* parent = nullptr) : ui::CButtonUI(parent) {}

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
};

}  // namespace snapsave::app
