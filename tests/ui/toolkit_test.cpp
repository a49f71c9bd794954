// Toolkit pieces that do not need a layout: image descriptors, markup, containers, tree checks, list rows.
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/ui/test_skin.h"
#include "ui/controls.h"
#include "ui/image_descriptor.h"
#include "ui/list.h"
#include "ui/markup.h"
#include "ui/tree.h"

namespace snapsave::ui {
namespace {

TEST(ImageDescriptor, ParsesEveryPartAndRejectsMalformedText) {
  auto d = ParseImageDescriptor(QStringLiteral(
      "file='Controls.png' source='1,159,33,191' dest='49,5,81,37' corner='0,1,13,1' fade='128'"));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->file, QStringLiteral("Controls.png"));
  EXPECT_EQ(*d->source, QRect(1, 159, 32, 32));
  EXPECT_EQ(*d->dest, QRect(49, 5, 32, 32));
  EXPECT_EQ(d->corner, QMargins(0, 1, 13, 1));
  EXPECT_EQ(d->fade, 128);

  auto bare = ParseImageDescriptor(QStringLiteral("banner_bg.png"));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->file, QStringLiteral("banner_bg.png"));
  EXPECT_FALSE(bare->source);

  QString error;
  for (const char* bad :
       {"file='a.png' source='1,2,3'", "file='a.png' dest='5,5,1,1'", "file='a.png' size='1'",
        "file='a.png' source='1,2,3,4", "source='0,0,1,1'", "file='a.png' fade='300'"}) {
    error.clear();
    EXPECT_FALSE(ParseImageDescriptor(QString::fromLatin1(bad), &error)) << bad;
    EXPECT_FALSE(error.isEmpty()) << bad;
  }
}

TEST(ImageDescriptor, NineSliceKeepsCornersAndStretchesTheMiddle) {
  // 9x9 image: 3-pixel blue corners, green edges, red centre.
  QImage image(9, 9, QImage::Format_ARGB32);
  image.fill(Qt::red);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) {
      const bool edgeX = x < 3 || x >= 6, edgeY = y < 3 || y >= 6;
      if (edgeX && edgeY)
        image.setPixelColor(x, y, Qt::blue);
      else if (edgeX || edgeY)
        image.setPixelColor(x, y, Qt::green);
    }
  SkinArchive skin;
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  skin.AddEntry(QStringLiteral("frame.png"), png);

  QImage canvas(40, 30, QImage::Format_ARGB32);
  canvas.fill(Qt::transparent);
  QPainter painter(&canvas);
  auto d = ParseImageDescriptor(QStringLiteral("file='frame.png' corner='3,3,3,3'"));
  ASSERT_TRUE(d);
  ASSERT_TRUE(DrawImage(painter, skin, canvas.rect(), *d));
  painter.end();
  EXPECT_EQ(canvas.pixelColor(1, 1), QColor(Qt::blue));
  EXPECT_EQ(canvas.pixelColor(38, 28), QColor(Qt::blue));
  EXPECT_EQ(canvas.pixelColor(20, 1), QColor(Qt::green));  // top edge stretched, still 3 high
  EXPECT_EQ(canvas.pixelColor(20, 4), QColor(Qt::red));    // centre starts right below it
  EXPECT_EQ(canvas.pixelColor(1, 15), QColor(Qt::green));

  // A missing image draws nothing and says so.
  QPainter again(&canvas);
  EXPECT_FALSE(DrawImage(again, skin, canvas.rect(), *ParseImageDescriptor(QStringLiteral("nothere.png"))));
}

TEST(Markup, FontAndColourRunsNestAndUnknownBracesStayText) {
  auto runs = ParseMarkup(QStringLiteral("Found {f 7}{c #316D1E}42{/c}{/f} files {x} {/f}"));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].text, QStringLiteral("Found "));
  EXPECT_EQ(runs[1].text, QStringLiteral("42"));
  EXPECT_EQ(runs[1].font, 7);
  EXPECT_EQ(runs[1].color, QColor(0x31, 0x6D, 0x1E));
  EXPECT_EQ(runs[2].text, QStringLiteral(" files {x} "));
  EXPECT_EQ(runs[2].font, -1);
  EXPECT_EQ(PlainText(QStringLiteral("a{n}b{b}c{/b}")), QStringLiteral("a\nbc"));
  EXPECT_FALSE(HasMarkup(QStringLiteral("50% {done}")));
}

TEST(Containers, FixedChildrenKeepTheirSizeAndTheRestShareWhatIsLeft) {
  test::FreshSkin();
  CVerticalLayoutUI box;
  box.SetInset(QMargins(10, 10, 10, 10));
  box.SetChildPadding(5);
  auto* top = new CControlUI(&box);
  top->SetFixedHeight(30);
  auto* a = new CControlUI(&box);
  auto* b = new CControlUI(&box);
  b->SetPadding(QMargins(4, 0, 4, 0));
  box.Add(top);
  box.Add(a);
  box.Add(b);
  box.resize(200, 145);
  box.DoLayout();
  EXPECT_EQ(top->geometry(), QRect(10, 10, 180, 30));
  // 145 - 20 inset - 30 fixed - 10 padding = 85, shared 42 + 43.
  EXPECT_EQ(a->geometry(), QRect(10, 45, 180, 42));
  EXPECT_EQ(b->geometry(), QRect(14, 92, 172, 43));
  // A hidden child gives its share back.
  a->setVisible(false);
  EXPECT_EQ(b->geometry(), QRect(14, 45, 172, 90));

  CTabLayoutUI tabs;
  auto* p0 = new CControlUI(&tabs);
  auto* p1 = new CControlUI(&tabs);
  tabs.Add(p0);
  tabs.Add(p1);
  tabs.resize(100, 50);
  EXPECT_TRUE(tabs.SelectItem(1));
  EXPECT_TRUE(p0->isHidden());
  EXPECT_FALSE(p1->isHidden());
  EXPECT_EQ(p1->geometry(), QRect(0, 0, 100, 50));
  EXPECT_FALSE(tabs.SelectItem(2));
  EXPECT_EQ(tabs.CurrentIndex(), 1);
}

TEST(Tree, CheckingPropagatesDownAndSettlesAncestorsInThreeStates) {
  CTreeUI tree;
  TreeNode* photo = tree.AddNode(nullptr, QStringLiteral("NodePhoto"), QStringLiteral("Photos"));
  TreeNode* jpg = tree.AddNode(photo, QStringLiteral("jpg"), QStringLiteral("JPEG (3)"));
  TreeNode* png = tree.AddNode(photo, QStringLiteral("png"), QStringLiteral("PNG (1)"));
  TreeNode* raw = tree.AddNode(jpg, QStringLiteral("raw"), QStringLiteral("deep"));

  tree.SetCheck(jpg, true);
  EXPECT_EQ(raw->check, CheckState::Checked);
  EXPECT_EQ(photo->check, CheckState::Partial);
  tree.SetCheck(png, true);
  EXPECT_EQ(photo->check, CheckState::Checked);
  tree.SetCheckState(png, CheckState::Partial);
  EXPECT_EQ(photo->check, CheckState::Partial);
  tree.SetCheck(photo, false);
  EXPECT_EQ(jpg->check, CheckState::Unchecked);
  EXPECT_EQ(raw->check, CheckState::Unchecked);
  EXPECT_EQ(png->check, CheckState::Unchecked);

  EXPECT_EQ(tree.FindNode(QStringLiteral("png")), png);
  tree.SelectNode(raw, false);
  tree.RemoveChildren(photo);
  EXPECT_EQ(tree.SelectedNode(), nullptr);  // no pointer into freed nodes
  EXPECT_EQ(tree.FindNode(QStringLiteral("png")), nullptr);
}

TEST(List, RowsSortStablyWithTheSelectionAndNodesFoldTheirRows) {
  CListUI list;
  auto row = [](const char* name, int size, bool node = false) {
    ListRow r;
    r.cells.resize(2);
    r.cells[1].text = QString::fromLatin1(name);
    r.tag = size;
    r.isNode = node;
    return r;
  };
  list.AddRow(row("b", 2));
  list.AddRow(row("a", 2));
  list.AddRow(row("c", 1));
  list.SelectRow(1, false);  // "a"
  list.SortRows([](const ListRow& x, const ListRow& y) { return x.tag.toInt() < y.tag.toInt(); });
  ASSERT_EQ(list.RowCount(), 3);
  EXPECT_EQ(list.Row(0).cells[1].text, QStringLiteral("c"));
  EXPECT_EQ(list.Row(1).cells[1].text, QStringLiteral("b"));  // equal keys keep their order
  EXPECT_EQ(list.Row(2).cells[1].text, QStringLiteral("a"));
  EXPECT_EQ(list.SelectedRow(), 2);
  list.RemoveRow(0);
  EXPECT_EQ(list.SelectedRow(), 1);

  list.RemoveAll();
  list.AddRow(row("disk", 0, true));
  list.AddRow(row("vol1", 0));
  list.AddRow(row("disk2", 0, true));
  list.SetExpanded(0, false);
  EXPECT_FALSE(list.IsRowShown(1));
  EXPECT_TRUE(list.IsRowShown(2));
}

}  // namespace
}  // namespace snapsave::ui
