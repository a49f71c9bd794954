// Message boxes over the embedded skin, and the window shadow's range checks.
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/embedded_skin.h"
#include "app/language_table.h"
#include "app/message_box.h"
#include "app/wnd_shadow.h"
#include "tests/support/test_support.h"
#include "ui/controls.h"

namespace snapsave::app {
namespace {

void Write(const std::filesystem::path& path, const std::string& text) {
  test::WriteFile(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QString error;
    ASSERT_TRUE(LoadEmbeddedSkin(&error)) << error.toStdString();
    Write(dir_.path() / "config.ini", "[DefaultLanguage]\nDefault=Test\n");
    Write(dir_.path() / "Languages" / "Test.ini",
          "[Messages]\nMSG0401=Oops\nMSG0402=Sure?\nMSG0403=FYI\nMSG0404=Asking\nMSG0405=Careful\n"
          "[MessageBox]\nokbtn=Fine\nnothere=ignored\n");
    override_ = std::make_unique<LanguageTable::Override>(dir_.path());
  }
  void TearDown() override { override_.reset(); }

  // Shows a box modally and clicks `button` in it once it is up; returns the end code.
  static int Answer(int kind, const char* button) {
    QTimer::singleShot(0, [button] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = dynamic_cast<CMessageBox*>(w);
        if (!box || !box->isVisible()) continue;
        if (ui::CControlUI* c = box->FindControl(QString::fromLatin1(button)))
          QTest::mouseClick(c, Qt::LeftButton);
        else
          box->Close(99);  // the button is missing: end with a code no caller expects
      }
    });
    return CMessageBox::Show(nullptr, kind, std::nullopt, QStringLiteral("Text"), 400, 160);
  }

  test::TempDir dir_;
  std::unique_ptr<LanguageTable::Override> override_;
};

TEST_F(MessageBoxTest, ButtonsEndTheBoxWithTheirCodes) {
  EXPECT_EQ(Answer(CMessageBox::Error, "okbtn"), 1);
  EXPECT_EQ(Answer(CMessageBox::Information, "closebtn"), 2);
  EXPECT_EQ(Answer(CMessageBox::Confirm, "cancelbtn"), 2);
  EXPECT_EQ(Answer(CMessageBox::Confirm, "okbtn"), 1);
  EXPECT_EQ(Answer(CMessageBox::Question, "cancelbtn"), 2);  // "No"
  EXPECT_EQ(Answer(CMessageBox::Question, "closebtn"), 2);
  EXPECT_EQ(Answer(CMessageBox::Warning, "okbtn"), 1);
}

TEST_F(MessageBoxTest, EachKindHasItsLayoutTitleAndButtons) {
  struct Case {
    int kind;
    const char* title;
    const char* cancel;  // caption of cancelbtn, nullptr when the box has none
  } cases[] = {{0, "Oops", nullptr}, {1, "Sure?", "Cancel"}, {2, "FYI", nullptr},  {3, "Careful", nullptr},
               {4, "Asking", "No"},  {7, "Oops", nullptr},   {-1, "Oops", nullptr}};
  for (const Case& c : cases) {
    auto box = CMessageBox::Create(nullptr, c.kind, std::nullopt, QStringLiteral("Body"), 200, 100);
    ASSERT_NE(box, nullptr) << c.kind;
    EXPECT_EQ(box->FindControl(QStringLiteral("title"))->Text(), QString::fromLatin1(c.title)) << c.kind;
    EXPECT_EQ(box->FindControl(QStringLiteral("message"))->Text(), QStringLiteral("Body"));
    // The language section is applied at init: okbtn's caption comes from it.
    EXPECT_EQ(box->FindControl(QStringLiteral("okbtn"))->Text(), QStringLiteral("Fine")) << c.kind;
    ASSERT_NE(box->FindControl(QStringLiteral("closebtn")), nullptr);
    auto* cancel = box->FindControl(QStringLiteral("cancelbtn"));
    if (c.cancel) {
      ASSERT_NE(cancel, nullptr) << c.kind;
      EXPECT_EQ(cancel->Text(), QString::fromLatin1(c.cancel));
    } else {
      EXPECT_EQ(cancel, nullptr) << c.kind;
    }
    EXPECT_EQ(box->CaptionHeight(), 36);
    EXPECT_EQ(box->minimumSize(), QSize(300, 160));
    EXPECT_EQ(box->size(), QSize(300, 160));  // asked for less than the minimum
  }
  EXPECT_EQ(CMessageBox::LayoutOf(7), CMessageBox::LayoutOf(CMessageBox::Error));
  // An explicit title wins over the kind's default.
  auto box =
      CMessageBox::Create(nullptr, 2, QStringLiteral("Snapsave is running."), QStringLiteral("x"), 350, 150);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->FindControl(QStringLiteral("title"))->Text(), QStringLiteral("Snapsave is running."));
  EXPECT_EQ(box->size(), QSize(350, 160));
}

TEST(WndShadow, FollowsItsOwnerAndRefusesOutOfRangeValues) {
  CWndShadow shadow;
  EXPECT_TRUE(CWndShadow::Initialize());
  EXPECT_FALSE(shadow.Create(nullptr));
  ui::CWindowUI owner;
  owner.resize(300, 200);
  ASSERT_TRUE(shadow.Create(&owner));

  // Out of range values are refused and the old ones kept.
  EXPECT_FALSE(shadow.SetSize(25));
  EXPECT_FALSE(shadow.SetPosition(21, 0));
  EXPECT_TRUE(shadow.SetColor(0x2D2D2D));
  EXPECT_FALSE(shadow.SetColor(0x1000000));
  EXPECT_EQ(shadow.Color(), 0x2D2D2Du);

  // The shadow follows its owner: shown with it, hidden when the owner is hidden or maximised.
  EXPECT_TRUE(shadow.SetSize(4));
  owner.show();
  ASSERT_NE(shadow.ShadowWindow(), nullptr);
  EXPECT_TRUE(shadow.ShadowWindow()->isVisible());
  EXPECT_TRUE(shadow.ShadowWindow()->geometry().contains(owner.frameGeometry()));
  owner.showMaximized();
  EXPECT_FALSE(shadow.ShadowWindow()->isVisible());
  owner.hide();
  EXPECT_FALSE(shadow.ShadowWindow()->isVisible());
}

}  // namespace
}  // namespace snapsave::app
