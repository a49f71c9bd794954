// The program's own skin and shipped English texts for the application's window tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>

#include "app/embedded_skin.h"
#include "app/language_table.h"
#include "tests/support/test_support.h"

namespace snapsave::test {

// Loads the embedded skin and points the language table at a scratch program folder holding English, while
// alive.
class ShippedLook {
 public:
  ShippedLook() {
    QString error;
    skinLoaded = app::LoadEmbeddedSkin(&error);
    std::filesystem::create_directories(dir_.path() / "Languages");
    std::ofstream(dir_.path() / "config.ini") << "[DefaultLanguage]\nDefault=English\n";
    std::filesystem::copy_file(std::filesystem::path(SNAPSAVE_SOURCE_DIR) / "languages" / "English.ini",
                               dir_.path() / "Languages" / "English.ini");
    languages_ = std::make_unique<app::LanguageTable::Override>(dir_.path());
  }
  bool skinLoaded = false;

 private:
  TempDir dir_;
  std::unique_ptr<app::LanguageTable::Override> languages_;
};

}  // namespace snapsave::test
