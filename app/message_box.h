// The program's one modal message box, in five kinds with their own layouts and default titles.
#pragma once

#include <QString>

#include <memory>
#include <optional>

#include "ui/window.h"

namespace snapsave::app {

class CMessageBox : public ui::CWindowUI {
 public:
  enum Kind { Error = 0, Confirm = 1, Information = 2, Warning = 3, Question = 4 };

  // Runs the box modally and returns 1 for "okbtn", 2 for "cancelbtn" or "closebtn". Without a title the
  // kind's default message is the title. An unknown kind shows the Error box.
  static int Show(QWidget* parent, int kind, const std::optional<QString>& title, const QString& text,
                  int width, int height);
  // The box, built and filled but not shown; nullptr when its layout does not load.
  static std::unique_ptr<CMessageBox> Create(QWidget* parent, int kind, const std::optional<QString>& title,
                                             const QString& text, int width, int height);

  static QString LayoutOf(int kind);
  static QString DefaultTitleKeyOf(int kind);

  void Notify(const ui::TNotifyUI& msg) override;

 private:
  explicit CMessageBox(QWidget* parent);
};

}  // namespace snapsave::app
