// The result views: row texts and icons, sorting by the header, check states from rows up to the categories,
// and the disk list's nodes.
#include <QApplication>

#include <gtest/gtest.h>

#include "app/embedded_skin.h"
#include "app/result_views.h"

namespace snapsave::app {
namespace {

FoundFileRecord Record(const char* name, uint64_t size, bool folder = false, uint32_t id = 0) {
  FoundFileRecord r = MakeEmptyRecord();
  r.SetName(name);
  r.fileSize = size;
  r.isFolder = folder ? 1 : 0;
  r.isIntact = 1;
  r.recordId = id;
  return r;
}

TEST(ResultViews, RowTextsAndIcons) {
  using namespace result_view;
  EXPECT_EQ(TypeText(Record("README", 1)), "file");
  EXPECT_EQ(TypeText(Record("a.b.JPG", 1)), "JPG");
  EXPECT_EQ(TypeText(Record("DCIM", 0, true)), "folder");
  EXPECT_EQ(IconFile("file", false, false), "FileIcon/default_error.png");
  EXPECT_EQ(IconFile("folder", true, false), "FileIcon/folder.png");
  EXPECT_EQ(IconFile("avif", false, true), "FileIcon/image.png");  // not in the photo list: it holds "avi"
  EXPECT_EQ(IconFile("avi", false, true), "FileIcon/video.png");
  EXPECT_EQ(IconFile("mp3", false, false), "FileIcon/music_error.png");
  EXPECT_EQ(TimeText(0), "    ----    ");
  // 2020-01-02 03:04:05 as stored, without a time-zone change.
  const uint64_t t = (uint64_t{1577934245} + 11644473600ull) * 10'000'000ull;
  EXPECT_EQ(TimeText(t), "2020-01-02 03:04:05");  // ISO: a date column never changes width
  VolumeInfo v;
  v.driveLetter = 3;
  v.volumeLabel = "CARD";
  EXPECT_EQ(VolumeCaption(v), "3:\\ CARD");
  v.freeBytes = static_cast<uint64_t>(-5);
  EXPECT_EQ(VolumeCaption(v), "*:\\");
  // Volumes by the names Linux users know; a free stretch has no device.
  v.rootPath = "/dev/sdb1";
  v.fileSystemName = "FAT32";
  v.totalBytes = 2048;
  EXPECT_EQ(VolumeName(v, "Free", false),
            QStringLiteral("/dev/sdb1 \u00B7 CARD \u00B7 FAT32 \u00B7 2.0 KiB"));
  v.mountPoint = "/media/card";
  EXPECT_EQ(VolumeName(v, "Free", true), QStringLiteral("/dev/sdb1 \u00B7 CARD, mounted at /media/card"));
  VolumeInfo stretch;
  stretch.kind = EntryKind::kUnallocated;
  stretch.totalBytes = 1024;
  EXPECT_EQ(VolumeName(stretch, "Free", false), QStringLiteral("Free \u00B7 1.0 KiB"));
}

TEST(ResultViews, SortingFollowsTheHeaderDirections) {
  CListExUI list;
  list.Fill({Record("b.jpg", 30), Record("Dir", 0, true), Record("a.jpg", 10), Record("C.jpg", 20),
             Record("Adir", 0, true)},
            {});
  auto names = [&] {
    std::vector<std::string> out;
    for (int row = 0; row < list.RowCount(); ++row) out.push_back(std::string(list.RecordOf(row).Name()));
    return out;
  };
  list.SortByHeader("Size");  // sizes descend first: files from the largest, folders last
  EXPECT_EQ(list.Direction("Size"), -1);
  EXPECT_EQ(names(), (std::vector<std::string>{"b.jpg", "C.jpg", "a.jpg", "Dir", "Adir"}));
  list.SortByHeader("Size");  // folders of equal size keep their order
  EXPECT_EQ(names(), (std::vector<std::string>{"Dir", "Adir", "a.jpg", "C.jpg", "b.jpg"}));
  list.SortByHeader("FileName");  // names ascend first, case folded
  EXPECT_EQ(list.Direction("FileName"), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"a.jpg", "Adir", "b.jpg", "C.jpg", "Dir"}));
  list.SortByHeader("FileName");
  EXPECT_EQ(names(), (std::vector<std::string>{"Dir", "C.jpg", "b.jpg", "Adir", "a.jpg"}));
  EXPECT_EQ(list.Row(0).cells[2].text, "");  // a folder shows no size
  EXPECT_EQ(list.Row(0).cells[3].text, "    ----    ");
}

TEST(ResultViews, ChecksPropagateFromRowsToCategories) {
  CFileTreeUI tree;
  const std::vector<CFileTreeUI::TypeOption> options{{"jpg", "JPG (Joint Photographic)", "NodePhoto"},
                                                     {"png", "PNG", "NodePhoto"},
                                                     {"mp3", "MP3 (audio)", "NodeAudio"}};
  RecordList jpgs{Record("1.jpg", 1, false, 1), Record("2.jpg", 1, false, 2), Record("3.jpg", 1, false, 3)};
  ui::TreeNode* first = tree.Fill({{"jpg", jpgs.size()}, {"png", 1}, {"wav", 0}, {"mp3", 1}}, options,
                                  {{"NodePhoto", "Photos"}, {"NodeAudio", "Audio"}, {"NodeVideo", "Video"}});
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->text, "JPG (3)");
  ui::TreeNode* photos = tree.FindNode("NodePhoto");
  EXPECT_EQ(photos->text, "Photos (4)");
  EXPECT_FALSE(tree.FindNode("NodeVideo")->visible);
  EXPECT_TRUE(tree.FindNode("NodeAudio")->visible);

  CListExUI list;
  EXPECT_EQ(list.Fill(jpgs, {KeyOf(jpgs[1])}), 1);
  EXPECT_TRUE(list.Row(1).checked);
  EXPECT_EQ(list.RowsState(), ui::CheckState::Partial);
  for (int row : {0, 2}) {
    list.SetChecked(row, true);
    list.NoteRowCheck(row, true);
  }
  EXPECT_EQ(list.RowsState(), ui::CheckState::Checked);
  tree.SetCheckState(first, list.RowsState());
  EXPECT_EQ(photos->check, ui::CheckState::Partial);  // the PNG type is not checked yet
  tree.SetCheck(photos->children[1].get(), true);
  EXPECT_EQ(photos->check, ui::CheckState::Checked);
  list.CheckAll(false);
  tree.SetCheckState(first, list.RowsState());
  EXPECT_EQ(list.RowsState(), ui::CheckState::Unchecked);
  EXPECT_EQ(photos->check, ui::CheckState::Partial);
}

TEST(ResultViews, ADiskWithTwoVolumesIsOneNodeAndTwoRows) {
  CDiskListUI list;
  VolumeInfo a, b, c;
  a.diskNumber = b.diskNumber = 0;
  c.diskNumber = 1;
  a.driveLetter = 1;
  b.driveLetter = 2;
  c.driveLetter = 3;
  a.rootPath = "/dev/sdb1";
  a.mountPoint = "/media/card";
  a.totalBytes = 1000;
  a.usedBytes = 250;
  a.spaceKnown = true;
  list.Fill(
      {a, b, c},
      [](int32_t disk, bool removable) {
        return QStringLiteral("%1 %2").arg(removable ? "Removable disk" : "Disk").arg(disk + 1);
      },
      [](int32_t disk) { return disk == 1; });
  ASSERT_EQ(list.RowCount(), 5);
  EXPECT_TRUE(list.Row(0).isNode);
  EXPECT_EQ(list.Row(0).cells[0].text, "Disk 1");
  EXPECT_EQ(list.Row(1).cells[0].text, "/dev/sdb1, mounted at /media/card");
  EXPECT_EQ(list.Row(1).cells[2].bar, 25);
  EXPECT_EQ(list.EntryOf(2)->driveLetter, 2);
  EXPECT_TRUE(list.Row(3).isNode);
  EXPECT_EQ(list.Row(3).cells[0].text, "Removable disk 2");
  EXPECT_FALSE(list.IsRemovableRow(1));
  EXPECT_TRUE(list.IsRemovableRow(4));
  EXPECT_NE(list.Row(1).cells[0].icon.source, list.Row(4).cells[0].icon.source);
  EXPECT_EQ(list.EntryOf(0), nullptr);
}

}  // namespace
}  // namespace snapsave::app
