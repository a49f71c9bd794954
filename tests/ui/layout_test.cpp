// Layouts: building, includes, clear load errors, lookups, and notifications reaching the window.
#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include "tests/ui/test_skin.h"
#include "ui/controls.h"
#include "ui/list.h"
#include "ui/menu.h"
#include "ui/tree.h"
#include "ui/window.h"

namespace snapsave::ui {
namespace {

class RecordingWnd : public CWindowUI {
 public:
  void Notify(const TNotifyUI& msg) override {
    seen.push_back(msg.type + QLatin1Char(':') + msg.name);
    if (msg.type == QLatin1String("timer")) timerIds.push_back(msg.wParam);
    CWindowUI::Notify(msg);
  }
  QStringList seen;
  std::vector<qint64> timerIds;
};

// QTest hands a widget's events to that widget itself; a real click reaches the deepest child under the
// pointer.
void ClickAt(QWidget* widget, QPoint pos) {
  QWidget* target = widget->childAt(pos);
  if (!target) target = widget;
  QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(widget, pos));
}

const char* kMain = R"(<?xml version="1.0"?>
<Window size="400,300" mininfo="300,200" caption="0,0,0,36" sizebox="4,4,4,4" roundcorner="5,5">
  <Font id="0" name="DejaVu Sans" size="13" default="true"/>
  <Font id="3" name="DejaVu Sans" size="20" bold="true"/>
  <VerticalLayout name="root">
    <HorizontalLayout name="band" height="36">
      <Label name="title" text="Hello" font="3"/>
      <Button name="closebtn" width="28" normalimage="dot.png"/>
    </HorizontalLayout>
    <Include source="xml/page.xml"/>
  </VerticalLayout>
</Window>)";

const char* kPage = R"(<TabLayout name="pages">
  <VerticalLayout name="page0">
    <Button name="okbtn" text="OK" height="30" hotimage="file='dot.png' corner='1,1,1,1'"/>
    <Option name="opt1" group="g" selected="true" height="20"/>
    <Option name="opt2" group="g" height="20" userdata="jpg|jpeg"/>
    <Tree name="TypeTree"><TreeNode name="NodePhoto" text="Photos"><TreeNode name="jpg" text="JPEG"/></TreeNode></Tree>
  </VerticalLayout>
  <List name="FileList"><ListHeader><ListHeaderItem name="FileName" text="Name" width="180"/></ListHeader></List>
</TabLayout>)";

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FreshSkin();
    test::AddLayout(QStringLiteral("xml/main.xml"), kMain);
    test::AddLayout(QStringLiteral("xml/page.xml"), kPage);
  }
  // Builds a window from one layout text and returns the error ("" when it loaded).
  QString LoadError(const char* xml) {
    test::AddLayout(QStringLiteral("xml/t.xml"), xml);
    RecordingWnd w;
    QString error;
    const bool ok = w.LoadLayout(QStringLiteral("xml/t.xml"), &error);
    EXPECT_EQ(ok, error.isEmpty());
    EXPECT_EQ(ok, w.Root() != nullptr);
    return error;
  }
};

TEST_F(LayoutTest, BuildsControlsFindsThemByNameAndResolvesIncludes) {
  RecordingWnd w;
  QString error;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/main.xml"), &error)) << error.toStdString();
  EXPECT_EQ(w.seen, QStringList{QStringLiteral("windowinit:root")});
  EXPECT_EQ(w.size(), QSize(400, 300));
  EXPECT_EQ(w.minimumSize(), QSize(300, 200));
  EXPECT_EQ(w.Font(3).pixelSize(), 20);
  EXPECT_EQ(w.Font(99).pixelSize(), 13);  // unknown ids fall back to the default font

  ASSERT_NE(w.Find<CLabelUI>(QStringLiteral("title")), nullptr);
  EXPECT_EQ(w.Find<CLabelUI>(QStringLiteral("title"))->Text(), QStringLiteral("Hello"));
  EXPECT_NE(w.Find<CButtonUI>(QStringLiteral("okbtn")), nullptr);  // from the include
  EXPECT_NE(w.Find<CTabLayoutUI>(QStringLiteral("pages")), nullptr);
  EXPECT_EQ(w.Find<COptionUI>(QStringLiteral("opt2"))->UserData(), QStringLiteral("jpg|jpeg"));
  EXPECT_EQ(w.Find<CButtonUI>(QStringLiteral("title")), nullptr);  // wrong type
  EXPECT_EQ(w.FindControl(QStringLiteral("nothing")), nullptr);
  EXPECT_NE(w.FindTreeNode(QStringLiteral("jpg")), nullptr);
  auto* list = w.Find<CListUI>(QStringLiteral("FileList"));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->HeaderItems().size(), 1u);
  EXPECT_EQ(list->HeaderItems()[0]->Name(), QStringLiteral("FileName"));
}

TEST_F(LayoutTest, BadLayoutsFailAtLoadWithFileAndLine) {
  auto has = [](const QString& error, const char* part) { return error.contains(QLatin1String(part)); };
  QString e = LoadError("<Window>\n<VerticalLayout>\n<Lable name='x'/>\n</VerticalLayout></Window>");
  EXPECT_TRUE(has(e, "xml/t.xml:3") && has(e, "unknown element <Lable>")) << e.toStdString();
  e = LoadError(
      "<Window><VerticalLayout>\n\n<Button normalimage=\"file='gone.png'\"/></VerticalLayout></Window>");
  EXPECT_TRUE(has(e, "xml/t.xml:3") && has(e, "gone.png")) << e.toStdString();
  e = LoadError("<Window><Label colour='#FFFFFF'/></Window>");
  EXPECT_TRUE(has(e, "unknown attribute 'colour'")) << e.toStdString();
  e = LoadError("<Window><Label width='wide'/></Window>");
  EXPECT_TRUE(has(e, "bad value 'wide' for width")) << e.toStdString();
  e = LoadError("<Window><Include source='xml/missing.xml'/></Window>");
  EXPECT_TRUE(has(e, "xml/missing.xml")) << e.toStdString();
  e = LoadError("<Window><VerticalLayout><Label></VerticalLayout></Window>");
  EXPECT_FALSE(e.isEmpty());
  e = LoadError("<Window><Button><Label/></Button></Window>");
  EXPECT_TRUE(has(e, "cannot hold")) << e.toStdString();
  e = LoadError("<Window><Label/><Label/></Window>");
  EXPECT_TRUE(has(e, "more than one root")) << e.toStdString();
  e = LoadError("<VerticalLayout/>");
  EXPECT_TRUE(has(e, "root element must be <Window>")) << e.toStdString();
  e = LoadError("");
  EXPECT_FALSE(e.isEmpty());

  // An include that includes itself is stopped, with the inner file named.
  test::AddLayout(QStringLiteral("xml/loop.xml"),
                  "<VerticalLayout><Include source='xml/loop.xml'/></VerticalLayout>");
  e = LoadError("<Window><Include source='xml/loop.xml'/></Window>");
  EXPECT_TRUE(has(e, "xml/loop.xml:1") && has(e, "loops")) << e.toStdString();
  // An error inside an include names the included file.
  test::AddLayout(QStringLiteral("xml/broken.xml"), "<VerticalLayout>\n<Knob/></VerticalLayout>");
  e = LoadError("<Window><Include source='xml/broken.xml'/></Window>");
  EXPECT_TRUE(has(e, "xml/broken.xml:2")) << e.toStdString();

  RecordingWnd w;
  EXPECT_FALSE(w.LoadLayout(QStringLiteral("xml/none.xml"), &e));
  EXPECT_TRUE(has(e, "xml/none.xml")) << e.toStdString();
}

TEST_F(LayoutTest, ClicksReachTheWindowWithTheControlsName) {
  RecordingWnd w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/main.xml")));
  w.show();
  auto* ok = w.Find<CButtonUI>(QStringLiteral("okbtn"));
  QTest::mouseClick(ok, Qt::LeftButton);
  EXPECT_TRUE(w.seen.contains(QStringLiteral("click:okbtn")));

  // A press that leaves the button before release is no click; a disabled button gives none.
  w.seen.clear();
  QTest::mousePress(ok, Qt::LeftButton);
  QTest::mouseRelease(ok, Qt::LeftButton, {}, QPoint(-5, -5));
  ok->setEnabled(false);
  QTest::mouseClick(ok, Qt::LeftButton);
  EXPECT_FALSE(w.seen.contains(QStringLiteral("click:okbtn")));

  // Options of one group exclude each other and report the change.
  auto* opt1 = w.Find<COptionUI>(QStringLiteral("opt1"));
  auto* opt2 = w.Find<COptionUI>(QStringLiteral("opt2"));
  EXPECT_TRUE(opt1->IsSelected());
  QTest::mouseClick(opt2, Qt::LeftButton);
  EXPECT_TRUE(opt2->IsSelected());
  EXPECT_FALSE(opt1->IsSelected());
  EXPECT_TRUE(w.seen.contains(QStringLiteral("selectchanged:opt1")));
  EXPECT_TRUE(w.seen.contains(QStringLiteral("selectchanged:opt2")));
  QTest::mouseClick(opt2, Qt::LeftButton);  // clicking the selected one keeps it
  EXPECT_TRUE(opt2->IsSelected());

  // Header items report clicks too.
  w.Find<CTabLayoutUI>(QStringLiteral("pages"))->SelectItem(1);
  auto* header = w.Find<CListHeaderItemUI>(QStringLiteral("FileName"));
  QTest::mouseClick(header, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(w.seen.contains(QStringLiteral("headerclick:FileName")));
}

TEST_F(LayoutTest, ModalRunEndsWithTheCloseCodeAndTimersNotifyTheirControl) {
  RecordingWnd w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/main.xml")));
  auto* title = w.FindControl(QStringLiteral("title"));
  w.SetTimer(title, 7, 1);
  QTimer::singleShot(50, &w,
                     [&] { QTest::mouseClick(w.FindControl(QStringLiteral("closebtn")), Qt::LeftButton); });
  EXPECT_EQ(w.ShowModal(), 2);
  EXPECT_FALSE(w.isVisible());
  ASSERT_FALSE(w.timerIds.empty());
  EXPECT_EQ(w.timerIds.front(), 7);
  EXPECT_TRUE(w.seen.contains(QStringLiteral("timer:title")));
  w.KillTimer(title, 7);
  EXPECT_FALSE(w.IsTimerActive(title, 7));

  // Close before the loop starts (e.g. from windowinit) still returns its code.
  QTimer::singleShot(0, &w, [&] { w.Close(1); });
  EXPECT_EQ(w.ShowModal(), 1);
}

TEST_F(LayoutTest, TheCaptionBandDragsAndTheBorderSizesDownToTheMinimum) {
  RecordingWnd w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/main.xml")));
  w.move(100, 100);
  w.show();
  const QPoint start = w.pos();
  auto* title = w.FindControl(QStringLiteral("title"));  // a label: part of the band
  QTest::mousePress(title, Qt::LeftButton, {}, QPoint(20, 10));
  QTest::mouseMove(title, QPoint(50, 30));
  QTest::mouseRelease(title, Qt::LeftButton, {}, QPoint(50, 30));
  EXPECT_EQ(w.pos(), start + QPoint(30, 20));

  // Over a button the band does not drag.
  auto* close = w.FindControl(QStringLiteral("closebtn"));
  const QPoint before = w.pos();
  QTest::mousePress(close, Qt::LeftButton, {}, QPoint(20, 10));
  QTest::mouseMove(close, QPoint(60, 40));
  QTest::mouseRelease(close, Qt::LeftButton, {}, QPoint(-50, -50));
  EXPECT_EQ(w.pos(), before);

  // The bottom-right corner of the sizing border resizes, never below the minimum size.
  auto* root = w.Root();
  const QPoint corner(w.width() - 2, w.height() - 2);
  QTest::mousePress(root, Qt::LeftButton, {}, corner);
  QTest::mouseMove(root, corner + QPoint(40, 10));
  QTest::mouseRelease(root, Qt::LeftButton, {}, corner + QPoint(40, 10));
  EXPECT_EQ(w.size(), QSize(440, 310));
  QTest::mousePress(root, Qt::LeftButton, {}, QPoint(w.width() - 2, w.height() - 2));
  QTest::mouseMove(root, QPoint(10, 10));
  QTest::mouseRelease(root, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_EQ(w.size(), QSize(300, 200));
  // Controls follow the new size.
  EXPECT_EQ(w.FindControl(QStringLiteral("band"))->width(), 300);
}

TEST_F(LayoutTest, ListsAndTreesReportChecksAndSelectionsFromTheMouse) {
  test::AddLayout(QStringLiteral("xml/views.xml"), R"(<Window size="400,300"><HorizontalLayout>
    <List name="FileList" itemheight="20" checkcolumn="true"><ListHeader height="24">
      <ListHeaderItem name="CheckAll" width="21"/><ListHeaderItem name="FileName" width="180"/>
    </ListHeader></List>
    <Tree name="TypeTree" width="150" itemheight="24">
      <TreeNode name="NodePhoto" text="Photos"><TreeNode name="jpg" text="JPEG"/><TreeNode name="png" text="PNG"/></TreeNode>
    </Tree></HorizontalLayout></Window>)");
  RecordingWnd w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/views.xml")));
  w.show();
  auto* list = w.Find<CListUI>(QStringLiteral("FileList"));
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
    ListRow row;
    row.cells.resize(2);
    row.cells[1].text = QString::fromLatin1(name);
    list->AddRow(row);
  }
  // Rows start below the 24-pixel header; the check column is the first 21 pixels.
  ClickAt(list, QPoint(10, 24 + 20 + 10));
  EXPECT_TRUE(list->Row(1).checked);
  EXPECT_EQ(list->SelectedRow(), -1);  // the box checks without selecting
  ClickAt(list, QPoint(100, 24 + 40 + 10));
  EXPECT_EQ(list->SelectedRow(), 2);
  ClickAt(list, QPoint(100, 24 + 200));  // below the last row: nothing
  EXPECT_EQ(list->SelectedRow(), 2);
  EXPECT_TRUE(w.seen.contains(QStringLiteral("list_check_click:FileList")));
  EXPECT_TRUE(w.seen.contains(QStringLiteral("itemselect:FileList")));
  // A name too long for its 180-pixel column is offered whole; a short one is not.
  ListRow longRow;
  longRow.cells.resize(2);
  longRow.cells[1].text = QString(60, QLatin1Char('W')) + QStringLiteral(".jpg");
  list->AddRow(longRow);
  EXPECT_EQ(list->CutTextAt(QPoint(100, 3 * 20 + 10)), longRow.cells[1].text);
  EXPECT_EQ(list->CutTextAt(QPoint(100, 10)), QString());
  EXPECT_EQ(list->CutTextAt(QPoint(10, 3 * 20 + 10)), QString());  // the check column has no text

  auto* tree = w.Find<CTreeUI>(QStringLiteral("TypeTree"));
  TreeNode* photo = tree->FindNode(QStringLiteral("NodePhoto"));
  TreeNode* jpg = tree->FindNode(QStringLiteral("jpg"));
  // Row 1 is "jpg", one indent in: expander at 22..36, check box from 36.
  ClickAt(tree, QPoint(4 + 18 + 14 + 7, 24 + 12));
  EXPECT_EQ(jpg->check, CheckState::Checked);
  EXPECT_EQ(photo->check, CheckState::Partial);
  EXPECT_TRUE(w.seen.contains(QStringLiteral("checkboxselectchanged:TypeTree")));
  ClickAt(tree, QPoint(100, 24 + 12));
  EXPECT_EQ(tree->SelectedNode(), jpg);
  // Collapsing the category hides its rows from the mouse too.
  ClickAt(tree, QPoint(8, 12));
  EXPECT_FALSE(photo->expanded);
  ClickAt(tree, QPoint(100, 24 + 12));
  EXPECT_EQ(tree->SelectedNode(), jpg);  // nothing there any more
}

TEST_F(LayoutTest, RuntimeSettersChangeStateButRefuseImagesTheSkinLacks) {
  RecordingWnd w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/main.xml")));
  auto* ok = w.Find<CButtonUI>(QStringLiteral("okbtn"));
  EXPECT_TRUE(ok->SetBkImage(QStringLiteral("file='dot.png' corner='1,1,1,1'")));
  EXPECT_FALSE(ok->SetBkImage(QStringLiteral("missing.png")));
  EXPECT_FALSE(ok->SetForeImage(QStringLiteral("file='dot.png' source='1,2'")));
  EXPECT_FALSE(ok->SetHotImage(QStringLiteral("missing.png")));

  // Sizes and visibility set at run time re-flow the parent.
  auto* band = w.FindControl(QStringLiteral("band"));
  auto* pages = w.FindControl(QStringLiteral("pages"));
  w.resize(400, 300);
  EXPECT_EQ(pages->y(), 36);
  band->SetFixedHeight(50);
  EXPECT_EQ(pages->y(), 50);
  band->setVisible(false);
  EXPECT_EQ(pages->y(), 0);
  band->setVisible(true);

  // A timer started again while running restarts instead of doubling up.
  auto* title = w.FindControl(QStringLiteral("title"));
  w.SetTimer(title, 1, 60000);
  w.SetTimer(title, 1, 60000);
  EXPECT_TRUE(w.IsTimerActive(title, 1));
  EXPECT_FALSE(w.IsTimerActive(title, 2));
  w.KillTimer(title, 1);
  EXPECT_FALSE(w.IsTimerActive(title, 1));
}

TEST_F(LayoutTest, RichEditShowsTextAndRefusesPicturesItCannotShow) {
  test::AddLayout(QStringLiteral("xml/rich.xml"),
                  "<Window size='300,200'><RichEdit name='PreviewEdit'/></Window>");
  CWindowUI w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/rich.xml")));
  auto* box = w.Find<CRichEditUI>(QStringLiteral("PreviewEdit"));
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->Editor()->isReadOnly());
  box->ShowCentredText(QStringLiteral("This is a folder."));
  EXPECT_EQ(box->PlainContent(), QStringLiteral("This is a folder."));
  EXPECT_FALSE(box->InsertImage(QImage()));
  EXPECT_FALSE(box->InsertImage(QImage(2, 2, QImage::Format_ARGB32)));  // too small to be a picture
  QImage picture(40, 30, QImage::Format_ARGB32);
  picture.fill(Qt::blue);
  box->Clear();
  EXPECT_TRUE(box->InsertImage(picture));
  EXPECT_EQ(box->PlainContent(), QString(QChar::ObjectReplacementCharacter));
}

// The preview pane keeps the width it was given or dragged to while the list keeps its minimum; in a narrow
// window it gives way first, down to its own minimum, and takes its width back when there is room. A box of
// facts is as high as its text, up to half its column.
TEST_F(LayoutTest, ASplitterSizesThePaneAndAFittedBoxShowsItsTextWhole) {
  test::AddLayout(QStringLiteral("xml/split.xml"), R"(<Window size="1000,400">
    <HorizontalLayout childpadding="10">
      <Control name="list"/>
      <Splitter name="bar" width="6" minsize="200" restmin="400"/>
      <VerticalLayout name="pane" width="300">
        <RichEdit name="box"/>
        <RichEdit name="facts" height="92" fitcontent="true"/>
      </VerticalLayout>
    </HorizontalLayout></Window>)");
  RecordingWnd w;
  ASSERT_TRUE(w.LoadLayout(QStringLiteral("xml/split.xml")));
  w.show();
  auto* pane = w.FindControl(QStringLiteral("pane"));
  auto* list = w.FindControl(QStringLiteral("list"));
  auto* bar = w.Find<CSplitterUI>(QStringLiteral("bar"));
  ASSERT_NE(bar, nullptr);
  QApplication::processEvents();
  EXPECT_EQ(pane->width(), 300);
  w.resize(750, 400);  // 750 - 6 - 20 - 400 leaves the pane 324: it keeps 300
  QApplication::processEvents();
  EXPECT_EQ(pane->width(), 300);
  w.resize(650, 400);
  QApplication::processEvents();
  EXPECT_EQ(pane->width(), 224);
  EXPECT_EQ(list->width(), 400);
  w.resize(500, 400);
  QApplication::processEvents();
  EXPECT_EQ(pane->width(), 200);
  w.resize(1000, 400);
  QApplication::processEvents();
  EXPECT_EQ(pane->width(), 300);

  // Dragging the bar left widens the pane, as far as the list's minimum; the window hears where it stopped.
  // The bar moves under the pointer, so each position is taken from where the press was.
  const QPoint press = bar->mapToGlobal(QPoint(3, 100));
  auto at = [&](int dx) { return bar->mapFromGlobal(press + QPoint(dx, 0)); };
  QTest::mousePress(bar, Qt::LeftButton, {}, at(0));
  QTest::mouseMove(bar, at(-100));
  EXPECT_EQ(pane->width(), 400);
  QTest::mouseMove(bar, at(-600));
  EXPECT_EQ(pane->width(), 1000 - 6 - 20 - 400);
  QTest::mouseMove(bar, at(-50));
  QTest::mouseRelease(bar, Qt::LeftButton, {}, at(-50));
  EXPECT_EQ(pane->width(), 350);
  ASSERT_FALSE(w.seen.empty());
  EXPECT_EQ(w.seen.back(), QStringLiteral("splittermoved:bar"));
  EXPECT_EQ(bar->PreferredWidth(), 350);

  auto* facts = w.Find<CRichEditUI>(QStringLiteral("facts"));
  facts->SetText(
      QStringLiteral("Size: 12 KiB\nMay be damaged: its first bytes are not those of its type, "
                     "so it may hold other data"));
  QApplication::processEvents();
  EXPECT_LT(facts->height(), 200);
  EXPECT_FALSE(facts->Editor()->verticalScrollBar()->isVisible());
  EXPECT_GE(facts->height(), static_cast<int>(facts->Editor()->document()->size().height()));
  QString many;
  for (int i = 0; i < 60; ++i) many += QStringLiteral("line %1\n").arg(i);
  facts->SetText(many);
  QApplication::processEvents();
  EXPECT_EQ(facts->height(), 200);  // half of the column
}

TEST_F(LayoutTest, MenuItemsReachTheOwnerAndSubItemsOpenBesideTheirItem) {
  test::AddLayout(QStringLiteral("xml/menu.xml"), R"(<Window size="160,66">
    <VerticalLayout inset="3,3,3,3">
      <MenuElement name="item_language" text="Language" markimage="dot.png"/>
      <MenuElement name="item_exit" text="Exit"/>
    </VerticalLayout></Window>)");
  RecordingWnd owner;
  ASSERT_TRUE(owner.LoadLayout(QStringLiteral("xml/main.xml")));
  owner.show();

  QPointer<CMenuWnd> menu = new CMenuWnd(&owner);
  ASSERT_TRUE(menu->Open(QStringLiteral("xml/menu.xml"), QPoint(10, 10)));
  QTest::mouseClick(menu->Element(QStringLiteral("item_exit")), Qt::LeftButton);
  EXPECT_TRUE(owner.seen.contains(QStringLiteral("itemclick:item_exit")));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(menu.isNull());  // a chosen item closes the menu

  menu = new CMenuWnd(&owner);
  ASSERT_TRUE(menu->Open(QStringLiteral("xml/menu.xml"), QPoint(10, 10)));
  CMenuElementUI* language = menu->Element(QStringLiteral("item_language"));
  language->AddSubItem(QStringLiteral("English"), QStringLiteral("English"), true);
  language->AddSubItem(QStringLiteral("Deutsch"), QStringLiteral("Deutsch"), false);
  owner.seen.clear();
  QTest::mouseClick(language, Qt::LeftButton);
  EXPECT_TRUE(owner.seen.empty());  // an item with sub-items only opens them
  CMenuWnd* sub = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = dynamic_cast<CMenuWnd*>(w); m && m != menu && m->isVisible()) sub = m;
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->height(), 66);  // two items of 30 plus the frame
  ASSERT_NE(sub->Element(QStringLiteral("Deutsch")), nullptr);
  EXPECT_TRUE(sub->Element(QStringLiteral("English"))->IsMarked());
  QTest::mouseClick(sub->Element(QStringLiteral("Deutsch")), Qt::LeftButton);
  EXPECT_EQ(owner.seen, QStringList{QStringLiteral("itemclick:Deutsch")});
}

}  // namespace
}  // namespace snapsave::ui
