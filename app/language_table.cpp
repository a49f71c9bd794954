#include "app/language_table.h"

#include <QFile>
#include <QSaveFile>

#include "os/paths.h"
#include "ui/tree.h"
#include "ui/window.h"

namespace snapsave::app {
namespace {

// Lengths the files were always cut to; texts beyond them are truncated, not refused.
constexpr qsizetype kMaxLanguageName = 63;
constexpr qsizetype kMaxLanguageLine = 127;
constexpr qsizetype kMaxSectionName = 255;
constexpr qsizetype kMaxLine = 1023;

QByteArray ReadFile(const std::filesystem::path& path) {
  QFile file(QString::fromStdString(path.string()));
  if (!file.open(QIODevice::ReadOnly)) return {};
  // Language files are a few KiB; anything huge is not one.
  return file.read(16 << 20);
}

const IniSection* FindSection(const std::vector<IniSection>& ini, const QString& name) {
  for (const IniSection& s : ini)
    if (s.name == name) return &s;
  return nullptr;
}

// A language name picks a file inside the languages folder and nothing else.
bool IsSafeLanguageName(const QString& name) {
  return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
         !name.startsWith(QLatin1Char('.'));
}

}  // namespace

std::vector<IniSection> ParseIni(const QByteArray& bytes) {
  std::vector<IniSection> sections;
  QString text = QString::fromUtf8(bytes);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  IniSection* current = nullptr;
  bool skipping = false;  // inside a repeated section, whose lines never count
  for (QStringView raw : QStringView(text).split(QLatin1Char('\n'))) {
    QString line = raw.toString();
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    // Leading blanks go; trailing ones stay, since a text may end in a space on purpose.
    qsizetype start = 0;
    while (start < line.size() && line[start].isSpace()) ++start;
    line = line.mid(start);
    if (line.isEmpty() || line.startsWith(QLatin1Char(';'))) continue;
    if (line.startsWith(QLatin1Char('['))) {
      const qsizetype close = line.indexOf(QLatin1Char(']'));
      if (close > 0) {
        const QString name = line.mid(1, close - 1).trimmed().left(kMaxSectionName);
        skipping = false;
        current = nullptr;
        for (IniSection& s : sections)
          if (s.name == name) skipping = true;
        if (!skipping) {
          sections.push_back({name, {}});
          current = &sections.back();
        }
        continue;
      }
    }
    if (!current || skipping) continue;
    line.truncate(kMaxLine);
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    QString key = (eq < 0 ? line : line.left(eq)).trimmed();
    QString value = eq < 0 ? QString() : line.mid(eq + 1);
    current->entries.emplace_back(std::move(key), std::move(value));
  }
  return sections;
}

LanguageTable& LanguageTable::Instance() {
  static LanguageTable table(os::ProgramDirectory());
  return table;
}

LanguageTable::LanguageTable(std::filesystem::path programDirectory)
    : programDirectory_(std::move(programDirectory)) {
  Reload();
}

void LanguageTable::Reload() {
  const std::vector<IniSection> config = ParseIni(ReadFile(ConfigPath()));
  currentLanguage_ = QStringLiteral("English");
  if (const IniSection* s = FindSection(config, QStringLiteral("DefaultLanguage"))) {
    for (const auto& [key, value] : s->entries) {
      if (key == QLatin1String("Default")) {
        currentLanguage_ = value.trimmed().left(kMaxLanguageName);
        break;
      }
    }
  }
  languages_.clear();
  if (const IniSection* s = FindSection(config, QStringLiteral("Languages"))) {
    for (const auto& [key, value] : s->entries) {
      // The list keeps each line as written, cut to its old buffer.
      QString line = key;
      if (!value.isNull()) line += QLatin1Char('=') + value;
      line.truncate(kMaxLanguageLine);
      const qsizetype eq = line.indexOf(QLatin1Char('='));
      if (eq < 0)
        languages_.emplace_back(line, QString());
      else
        languages_.emplace_back(line.left(eq), line.mid(eq + 1));
    }
  }

  // Clear in place: windows hold references to the section maps.
  for (auto& [name, section] : sections_) section.clear();
  if (!IsSafeLanguageName(currentLanguage_)) return;
  const auto file = LanguagesFolder() / (currentLanguage_.toStdString() + ".ini");
  for (const IniSection& s : ParseIni(ReadFile(file))) {
    Section& target = sections_[s.name];
    for (const auto& [key, text] : s.entries) target.emplace(key, text);  // the first occurrence wins
  }
}

LanguageTable::Section& LanguageTable::GetSection(const QString& name) {
  return sections_[name];
}

QString LanguageTable::Text(Section& section, const QString& key) {
  return section[key];
}

QString LanguageTable::Text(const QString& section, const QString& key) {
  return Text(GetSection(section), key);
}

bool LanguageTable::SetLanguage(const QString& name) {
  // Rewrite only the Default line of [DefaultLanguage]; everything else stays byte for byte.
  QByteArray original = ReadFile(ConfigPath());
  QList<QByteArray> lines = original.split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  const QByteArray newLine = "Default=" + name.toUtf8();
  qsizetype sectionAt = -1, keyAt = -1;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QByteArray t = lines[i].trimmed();
    if (t.startsWith('[')) {
      if (sectionAt >= 0) break;
      if (t == "[DefaultLanguage]") sectionAt = i;
      continue;
    }
    if (sectionAt >= 0 && keyAt < 0) {
      const qsizetype eq = t.indexOf('=');
      if ((eq < 0 ? t : t.left(eq)).trimmed() == "Default") keyAt = i;
    }
  }
  const bool crlf = original.contains("\r\n");
  if (keyAt >= 0) {
    lines[keyAt] = newLine + (lines[keyAt].endsWith('\r') ? "\r" : "");
  } else if (sectionAt >= 0) {
    lines.insert(sectionAt + 1, newLine + (crlf ? "\r" : ""));
  } else {
    if (!lines.isEmpty()) lines.append(crlf ? "\r" : "");
    lines.append("[DefaultLanguage]" + QByteArray(crlf ? "\r" : ""));
    lines.append(newLine + (crlf ? "\r" : ""));
  }
  QSaveFile out(QString::fromStdString(ConfigPath().string()));
  bool written = out.open(QIODevice::WriteOnly);
  if (written) {
    out.write(lines.join('\n'));
    out.write("\n");
    written = out.commit();
  }
  Reload();
  return written;
}

void LanguageTable::ApplyToWindow(ui::CWindowUI* window, const QString& sectionName) {
  if (!window) return;
  for (const auto& [key, text] : GetSection(sectionName)) {
    if (ui::CControlUI* control = window->FindControl(key)) {
      control->SetText(text);
      continue;
    }
    ui::CTreeUI* tree = nullptr;
    if (ui::TreeNode* node = window->FindTreeNode(key, &tree)) tree->SetNodeText(node, text);
  }
}

LanguageTable::Override::Override(std::filesystem::path programDirectory)
    : previous_(Instance().programDirectory_) {
  Instance().programDirectory_ = std::move(programDirectory);
  Instance().Reload();
}

LanguageTable::Override::~Override() {
  Instance().programDirectory_ = previous_;
  Instance().Reload();
}

}  // namespace snapsave::app
