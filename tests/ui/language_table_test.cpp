// The language table over scratch program folders, and the language files we ship.
#include <QFile>

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "app/embedded_skin.h"
#include "app/language_table.h"
#include "tests/support/test_support.h"
#include "ui/controls.h"
#include "ui/skin_archive.h"
#include "ui/tree.h"
#include "ui/window.h"

namespace snapsave::app {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) {
  test::WriteFile(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string Read(const fs::path& path) {
  auto bytes = test::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

const QString kMessages = QStringLiteral("Messages");

TEST(LanguageTable, ReadsSectionsWithFirstEqualsSplitAndFirstKeyWins) {
  test::TempDir dir;
  Write(dir.path() / "config.ini",
        "[DefaultLanguage]\r\nDefault=Deutsch\r\n[Languages]\r\nEnglish=English\r\nDeutsch="
        "Deutsch\r\nLonely\r\n");
  Write(dir.path() / "Languages" / "Deutsch.ini",
        "\xEF\xBB\xBF; comment\n[Messages]\nMSG0001=a=b=c\nMSG0002=first\nMSG0002=second\n  MSG0003 =Ende \n"
        "NoEquals\n[Messages]\nMSG0004=repeated sections never count\n[MainWnd]\nBtnScan=Suchen\n");
  LanguageTable table(dir.path());
  EXPECT_EQ(table.CurrentLanguage(), QStringLiteral("Deutsch"));
  ASSERT_EQ(table.Languages().size(), 3u);
  EXPECT_EQ(table.Languages()[1], std::make_pair(QStringLiteral("Deutsch"), QStringLiteral("Deutsch")));
  EXPECT_EQ(table.Languages()[2], std::make_pair(QStringLiteral("Lonely"), QString()));

  auto& messages = table.GetSection(kMessages);
  EXPECT_EQ(LanguageTable::Text(messages, QStringLiteral("MSG0001")), QStringLiteral("a=b=c"));
  EXPECT_EQ(LanguageTable::Text(messages, QStringLiteral("MSG0002")), QStringLiteral("first"));
  EXPECT_EQ(LanguageTable::Text(messages, QStringLiteral("MSG0003")), QStringLiteral("Ende "));
  EXPECT_TRUE(messages.contains(QStringLiteral("NoEquals")));
  EXPECT_FALSE(messages.contains(QStringLiteral("MSG0004")));
  EXPECT_EQ(table.Text(QStringLiteral("MainWnd"), QStringLiteral("BtnScan")), QStringLiteral("Suchen"));
  // A missing key is empty and then present.
  EXPECT_EQ(LanguageTable::Text(messages, QStringLiteral("MSG9999")), QString());
  EXPECT_TRUE(messages.contains(QStringLiteral("MSG9999")));
}

TEST(LanguageTable, MissingFilesGiveEnglishAndEmptyTexts) {
  test::TempDir dir;
  LanguageTable none(dir.path());
  EXPECT_EQ(none.CurrentLanguage(), QStringLiteral("English"));
  EXPECT_TRUE(none.Languages().empty());
  EXPECT_EQ(none.Text(kMessages, QStringLiteral("MSG0401")), QString());

  // A language that names a file outside the languages folder loads nothing.
  Write(dir.path() / "config.ini", "[DefaultLanguage]\nDefault=../secret\n");
  Write(dir.path() / "secret.ini", "[Messages]\nMSG0401=leaked\n");
  LanguageTable escaped(dir.path());
  EXPECT_EQ(escaped.Text(kMessages, QStringLiteral("MSG0401")), QString());

  // Over-long lines are cut, not dropped.
  Write(dir.path() / "config.ini", "[DefaultLanguage]\nDefault=" + std::string(80, 'L') + "\n");
  LanguageTable longName(dir.path());
  EXPECT_EQ(longName.CurrentLanguage().size(), 63);
  Write(dir.path() / "config.ini", "[DefaultLanguage]\nDefault=Long\n");
  Write(dir.path() / "Languages" / "Long.ini", "[Messages]\nMSG0001=" + std::string(2000, 'x') + "\n");
  LanguageTable longText(dir.path());
  EXPECT_EQ(longText.Text(kMessages, QStringLiteral("MSG0001")).size(), 1023 - 8);
}

TEST(LanguageTable, SetLanguageRewritesOnlyTheDefaultKeyAndWindowsSeeNewTexts) {
  test::TempDir dir;
  const std::string config =
      "; keep me\r\n[Languages]\r\nEnglish=English\r\nFrancais=Fran\xC3\xA7"
      "ais\r\n\r\n[DefaultLanguage]\r\n"
      "Default=English\r\nOther=1\r\n";
  Write(dir.path() / "config.ini", config);
  Write(dir.path() / "Languages" / "English.ini",
        "[Messages]\nMSG0001=Hello\n[Demo]\nlabel=Scan\nNode=Photos\n");
  Write(dir.path() / "Languages" / "Francais.ini", "[Messages]\nMSG0001=Bonjour\n[Demo]\nlabel=Analyser\n");

  ui::SkinArchive::Current() = ui::SkinArchive();
  ui::SkinArchive::Current().AddEntry(
      QStringLiteral("xml/demo.xml"),
      "<Window><VerticalLayout><Label name='label' text='fixed'/><Button name='off' enabled='false'/>"
      "<Tree name='t'><TreeNode name='Node'/></Tree></VerticalLayout></Window>");
  ui::CWindowUI window;
  ASSERT_TRUE(window.LoadLayout(QStringLiteral("xml/demo.xml")));

  LanguageTable table(dir.path());
  LanguageTable::Section& messages = table.GetSection(kMessages);  // kept across the reload
  table.ApplyToWindow(&window, QStringLiteral("Demo"));
  EXPECT_EQ(window.FindControl(QStringLiteral("label"))->Text(), QStringLiteral("Scan"));
  EXPECT_EQ(window.FindTreeNode(QStringLiteral("Node"))->text, QStringLiteral("Photos"));

  ASSERT_TRUE(table.SetLanguage(QStringLiteral("Francais")));
  std::string expected = config;
  expected.replace(expected.find("Default=English"), 15, "Default=Francais");
  EXPECT_EQ(Read(dir.path() / "config.ini"), expected);
  EXPECT_EQ(table.CurrentLanguage(), QStringLiteral("Francais"));
  EXPECT_EQ(LanguageTable::Text(messages, QStringLiteral("MSG0001")), QStringLiteral("Bonjour"));

  table.ApplyToWindow(&window, QStringLiteral("Demo"));
  EXPECT_EQ(window.FindControl(QStringLiteral("label"))->Text(), QStringLiteral("Analyser"));
  // Keys the new language lacks leave the control as it was.
  EXPECT_EQ(window.FindTreeNode(QStringLiteral("Node"))->text, QStringLiteral("Photos"));

  // A config without the section gets it appended; nothing else changes.
  Write(dir.path() / "config.ini", "[Languages]\nEnglish=English\n");
  ASSERT_TRUE(table.SetLanguage(QStringLiteral("English")));
  EXPECT_EQ(Read(dir.path() / "config.ini"),
            "[Languages]\nEnglish=English\n\n[DefaultLanguage]\nDefault=English\n");
}

TEST(ShippedLanguageFiles, EnglishHoldsEveryMessageAndEveryWindowSection) {
  test::TempDir dir;
  const fs::path source = fs::path(SNAPSAVE_SOURCE_DIR) / "languages";
  fs::create_directories(dir.path() / "Languages");
  fs::copy_file(source / "config.ini", dir.path() / "config.ini");
  fs::copy_file(source / "English.ini", dir.path() / "Languages" / "English.ini");
  LanguageTable table(dir.path());
  EXPECT_EQ(table.CurrentLanguage(), QStringLiteral("English"));
  ASSERT_FALSE(table.Languages().empty());
  EXPECT_EQ(table.Languages()[0].first, QStringLiteral("English"));

  const char* keys[] = {
      "MSG0101", "MSG0102", "MSG0201", "MSG0202", "MSG0203", "MSG0204", "MSG0205", "MSG0206", "MSG0207",
      "MSG0208", "MSG0209", "MSG0210", "MSG0211", "MSG0212", "MSG0213", "MSG0214", "MSG0216", "MSG0217",
      "MSG0218", "MSG0219", "MSG0220", "MSG0221", "MSG0301", "MSG0302", "MSG0303", "MSG0304", "MSG0305",
      "MSG0306", "MSG0401", "MSG0402", "MSG0403", "MSG0404", "MSG0405", "MSG0501", "MSG0502", "MSG0503",
      "MSG0504", "MSG0505", "MSG0507", "MSG0508", "MSG0601", "MSG0602", "MSG0701", "MSG0702", "MSG0703",
      "MSG0704", "MSG0705", "MSG0706", "MSG0707", "MSG0708", "MSG0709", "MSG0801", "MSG0802", "MSG0803",
      "MSG0804", "MSG0805", "MSG0901", "MSG0902", "MSG0903", "MSG0904", "MSG0905", "MSG1101", "MSG1102",
      "MSG1103", "MSG1105", "MSG1201", "MSG1202", "MSG1203", "MSG1204", "MSG1205", "MSG1206", "MSG1207",
      "MSG1208", "MSG1209"};
  for (const char* key : keys)
    EXPECT_FALSE(table.Text(kMessages, QString::fromLatin1(key)).trimmed().isEmpty()) << key;
  for (const char* key : {"MSG0807", "MSG0808", "MSG0809"})
    EXPECT_FALSE(table.Text(QStringLiteral("MainWnd"), QString::fromLatin1(key)).isEmpty()) << key;
  for (const char* section : {"MainWnd", "ScanWnd", "SearchProcessWnd", "RecoverProcessWnd",
                              "PreviewProcessWnd", "CreateImageWnd", "MessageBox", "menu_assist", "MenuWnd"})
    EXPECT_FALSE(table.GetSection(QString::fromLatin1(section)).empty()) << section;
  for (const char* item :
       {"item_help", "item_faq", "item_about", "item_support", "item_exit", "item_language"})
    EXPECT_FALSE(table.Text(QStringLiteral("menu_assist"), QString::fromLatin1(item)).isEmpty()) << item;
  // Composed texts carry the placeholders their callers fill in.
  EXPECT_TRUE(table.Text(kMessages, QStringLiteral("MSG0802")).contains(QStringLiteral("{c #316D1E}%d{/c}")));
  EXPECT_EQ(table.Text(kMessages, QStringLiteral("MSG1102")).count(QStringLiteral("%d")), 4);
  EXPECT_TRUE(table.Text(kMessages, QStringLiteral("MSG0804")).contains(QStringLiteral("%s")));
}

TEST(EmbeddedSkin, LoadsAndADamagedCopyIsRefusedWhole) {
  QString error;
  ASSERT_TRUE(LoadEmbeddedSkin(&error)) << error.toStdString();
  const ui::SkinArchive& skin = ui::SkinArchive::Current();
  EXPECT_TRUE(skin.Contains(QStringLiteral("xml\\MessageBox_Error.xml")));  // either separator
  const QImage controls = skin.Image(QStringLiteral("Controls.png"));
  ASSERT_FALSE(controls.isNull());
  EXPECT_GE(controls.width(), 288);
  EXPECT_GE(controls.height(), 192);
  for (const char* icon : {"folder", "exe", "image", "music", "doc", "video", "zip", "default"}) {
    EXPECT_FALSE(skin.Image(QStringLiteral("FileIcon/%1.png").arg(QLatin1String(icon))).isNull()) << icon;
    if (QLatin1String(icon) != QLatin1String("folder")) {
      EXPECT_FALSE(skin.Image(QStringLiteral("FileIcon/%1_error.png").arg(QLatin1String(icon))).isNull())
          << icon;
    }
  }

  const auto zip = EmbeddedSkinZip();
  std::vector<uint8_t> damaged(zip.begin(), zip.end());
  ui::SkinArchive copy;
  // Flip bytes inside the first entry's data: its check sum no longer matches.
  for (size_t i = 100; i < 140 && i < damaged.size(); ++i) damaged[i] ^= 0x5A;
  EXPECT_FALSE(copy.LoadZip(damaged, &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_EQ(copy.EntryCount(), 0);
  // Truncated and foreign data are refused too.
  EXPECT_FALSE(copy.LoadZip(std::span(zip).first(zip.size() / 2), &error));
  const uint8_t garbage[] = {'P', 'K', 5, 6, 0, 0, 0, 0};
  EXPECT_FALSE(copy.LoadZip(garbage, &error));
  EXPECT_FALSE(copy.LoadZip({}, &error));
}

// Damaged skins and language files must fail cleanly. A fixed seed keeps failures reproducible.
TEST(HostileInput, MutatedArchivesLayoutsAndLanguageFilesNeverCrash) {
  std::mt19937 random(20261206);
  const auto zip = EmbeddedSkinZip();
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> bytes(zip.begin(), zip.end());
    for (int flips = 0; flips < 1 + round % 8; ++flips)
      bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    ui::SkinArchive copy;
    QString error;
    const bool loaded = copy.LoadZip(bytes, &error);
    EXPECT_TRUE(loaded || !error.isEmpty());
    copy.Image(QStringLiteral("Controls.png"));  // decoding a damaged image must be safe too
  }

  ASSERT_TRUE(LoadEmbeddedSkin());
  const QByteArray layout = ui::SkinArchive::Current().Entry(QStringLiteral("xml/MessageBox_Question.xml"));
  ASSERT_FALSE(layout.isEmpty());
  for (int round = 0; round < 200; ++round) {
    QByteArray mutated = layout;
    for (int flips = 0; flips < 1 + round % 4; ++flips)
      mutated[static_cast<qsizetype>(random() % static_cast<unsigned>(mutated.size()))] =
          "<>/='\" \n{}#,x0"[random() % 14];
    ui::SkinArchive::Current().AddEntry(QStringLiteral("xml/mutated.xml"), mutated);
    ui::CWindowUI window;
    QString error;
    const bool built = window.LoadLayout(QStringLiteral("xml/mutated.xml"), &error);
    EXPECT_TRUE(built || !error.isEmpty());
  }

  const std::string ini = "[Messages]\nMSG0001=a=b\n[MainWnd]\nBtnScan=Scan\n";
  for (int round = 0; round < 500; ++round) {
    std::string mutated = ini;
    for (int flips = 0; flips < 1 + round % 6; ++flips)
      mutated[random() % mutated.size()] = "[]=;\n\r \xff"[random() % 8];
    ParseIni(QByteArray::fromStdString(mutated));
  }
}

}  // namespace
}  // namespace snapsave::app
