// Every user-visible text that a layout does not fix: config.ini names the language, Languages/<name>.ini
// holds one section of messages ("Messages", keys MSGnnnn) and one section per window (keys are control
// names).
#pragma once

#include <QString>

#include <filesystem>
#include <map>
#include <utility>
#include <vector>

namespace snapsave::ui {
class CWindowUI;
}

namespace snapsave::app {

class LanguageTable {
 public:
  using Section = std::map<QString, QString>;

  // The process-wide table, loaded from the program directory on first use.
  static LanguageTable& Instance();

  // A table over another program directory (tests, tools).
  explicit LanguageTable(std::filesystem::path programDirectory);

  // Creates the section empty when it was not loaded. The returned map lives as long as the table, across
  // reloads, so windows may keep it.
  Section& GetSection(const QString& name);
  // A missing key gives "" (and is then present with an empty text).
  static QString Text(Section& section, const QString& key);
  // Shorthand for Text(GetSection(section), key).
  QString Text(const QString& section, const QString& key);

  const std::vector<std::pair<QString, QString>>& Languages() const { return languages_; }
  QString CurrentLanguage() const { return currentLanguage_; }

  // Writes the name to [DefaultLanguage] Default of config.ini, leaving every other line as it was, then
  // reloads. False when config.ini could not be written (the table is reloaded anyway).
  bool SetLanguage(const QString& name);
  // Sets every control (or tree node) named by a key of the section to the key's text.
  void ApplyToWindow(ui::CWindowUI* window, const QString& section);

  void Reload();
  std::filesystem::path ConfigPath() const { return programDirectory_ / "config.ini"; }
  std::filesystem::path LanguagesFolder() const { return programDirectory_ / "Languages"; }

  // Points the process-wide table at another program directory while it lives.
  class Override {
   public:
    explicit Override(std::filesystem::path programDirectory);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

   private:
    std::filesystem::path previous_;
  };

 private:
  std::filesystem::path programDirectory_;
  QString currentLanguage_;
  std::vector<std::pair<QString, QString>> languages_;
  std::map<QString, Section> sections_;
};

// INI reading with the profile-file rules the language files are written for: sections in brackets, each line
// split at its first "=" (a line without one is all key), the first occurrence of a key or a section wins,
// lines starting with ";" are comments. Over-long lines are cut rather than rejected.
struct IniSection {
  QString name;
  std::vector<std::pair<QString, QString>> entries;
};
std::vector<IniSection> ParseIni(const QByteArray& text);

}  // namespace snapsave::app
