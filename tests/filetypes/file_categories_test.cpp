#include "filetypes/file_categories.h"

#include <gtest/gtest.h>

namespace snapsave {
namespace {

TEST(ClassifyFileName, SortsByLowerCasedExtensionInListOrder) {
  EXPECT_EQ(ClassifyFileName("IMG_0001.JPG"), kCategoryPhoto);
  EXPECT_EQ(ClassifyFileName("song.Mp3"), kCategoryAudio);
  EXPECT_EQ(ClassifyFileName("clip.mkv"), kCategoryVideo);
  EXPECT_EQ(ClassifyFileName("report.docx"), kCategoryDocument);
  EXPECT_EQ(ClassifyFileName("backup.tar"), kCategoryArchive);
  EXPECT_EQ(ClassifyFileName("setup.exe"), kCategoryOthers);
  // Only the text after the last dot counts.
  EXPECT_EQ(ClassifyFileName("archive.jpg.zip"), kCategoryArchive);
}

TEST(ClassifyFileName, KeepsThePlainSubstringQuirks) {
  // Audio is tested before video, so ".rm" is audio while ".rmvb" is video.
  EXPECT_EQ(ClassifyFileName("a.rm"), kCategoryAudio);
  EXPECT_EQ(ClassifyFileName("a.rmvb"), kCategoryVideo);
  // Fragments of an item match: "p" occurs in the photo list, and so does the empty extension.
  EXPECT_EQ(ClassifyFileName("a.p"), kCategoryPhoto);
  EXPECT_EQ(ClassifyFileName("README"), kCategoryPhoto);
  EXPECT_EQ(ClassifyFileName("trailing."), kCategoryPhoto);
  // "|*." spans two items of the photo list.
  EXPECT_EQ(ClassifyFileName("odd.|*"), kCategoryPhoto);
}

// Every carved type sorts into the category a user looks for it in; a new item never captures an old one.
TEST(ClassifyFileName, CarvedTypesOfPhonesCamerasAndArchives) {
  for (const char* name : {"a.heic", "a.heif", "a.avif", "a.webp", "a.cr3", "a.raf", "a.AVIF"})
    EXPECT_EQ(ClassifyFileName(name), kCategoryPhoto) << name;
  for (const char* name : {"a.m4a", "a.m4b", "a.opus", "a.ogg", "a.flac", "a.aac", "a.amr", "a.aiff"})
    EXPECT_EQ(ClassifyFileName(name), kCategoryAudio) << name;
  for (const char* name : {"a.pdf", "a.msg", "a.odg", "a.epub", "a.pst", "a.db"})
    EXPECT_EQ(ClassifyFileName(name), kCategoryDocument) << name;
  for (const char* name : {"a.7z", "a.xz", "a.bz2", "a.gz", "a.rar"})
    EXPECT_EQ(ClassifyFileName(name), kCategoryArchive) << name;
  EXPECT_EQ(ClassifyFileName("a.avi"), kCategoryVideo);
  EXPECT_FALSE(NameExtensionInList("a.avi", kPhotoList));
}

TEST(PreviewKindOf, RoutesMediaPicturesAndTheRestKeepingTheEmptyExtensionQuirk) {
  EXPECT_EQ(PreviewKindOf("a.mp3"), PreviewKind::kMedia);
  EXPECT_EQ(PreviewKindOf("a.AVI"), PreviewKind::kMedia);
  EXPECT_EQ(PreviewKindOf("a.png"), PreviewKind::kPicture);
  EXPECT_EQ(PreviewKindOf("a.pdf"), PreviewKind::kBuffer);
  // An empty extension is in the audio list, which is asked first.
  EXPECT_EQ(PreviewKindOf("noext"), PreviewKind::kMedia);
  EXPECT_TRUE(NameExtensionInList("x.TIFF", kPhotoList));
  EXPECT_FALSE(NameExtensionInList("x.mp3", kPhotoList));
}

}  // namespace
}  // namespace snapsave
