// A small window that opens each kind of message box; it stands in for the main window for now.
#pragma once

#include "ui/window.h"

namespace snapsave::app {

class CDemoWnd : public ui::CWindowUI {
 public:
  CDemoWnd();
  void Notify(const ui::TNotifyUI& msg) override;

  // Sample texts per kind, shared with the screenshot run.
  static QString SampleText(int kind);
};

}  // namespace snapsave::app
