#include "app/demo_wnd.h"

#include <QCoreApplication>

#include "app/language_table.h"
#include "app/message_box.h"
#include "ui/controls.h"

namespace snapsave::app {

CDemoWnd::CDemoWnd() {
  setWindowTitle(QStringLiteral("Free Snapsave"));
}

QString CDemoWnd::SampleText(int kind) {
  // Real messages of each kind, so the boxes are reviewed with the wording users will see.
  auto& messages = LanguageTable::Instance().GetSection(QStringLiteral("Messages"));
  switch (kind) {
    case CMessageBox::Error:
      return LanguageTable::Text(messages, QStringLiteral("MSG0217"));
    case CMessageBox::Confirm:
      return LanguageTable::Text(messages, QStringLiteral("MSG0805"));
    case CMessageBox::Information:
      return LanguageTable::Text(messages, QStringLiteral("MSG0505"));
    case CMessageBox::Warning:
      return LanguageTable::Text(messages, QStringLiteral("MSG0504"));
    default:
      return LanguageTable::Text(messages, QStringLiteral("MSG0709"));
  }
}

void CDemoWnd::Notify(const ui::TNotifyUI& msg) {
  if (msg.type == QLatin1String("windowinit")) {
    LanguageTable::Instance().ApplyToWindow(this, QStringLiteral("MainWnd"));
    if (auto* label = FindControl(QStringLiteral("LblProductName")))
      label->SetText(LanguageTable::Instance().Text(QStringLiteral("Messages"), QStringLiteral("MSG1209")));
    return;
  }
  if (msg.type == QLatin1String("click")) {
    if (msg.name == QLatin1String("closebtn")) {
      close();
      QCoreApplication::quit();
      return;
    }
    static const struct {
      const char* button;
      int kind;
    } kButtons[] = {{"BtnError", CMessageBox::Error},
                    {"BtnConfirm", CMessageBox::Confirm},
                    {"BtnInformation", CMessageBox::Information},
                    {"BtnWarning", CMessageBox::Warning},
                    {"BtnQuestion", CMessageBox::Question}};
    for (const auto& b : kButtons) {
      if (msg.name == QLatin1String(b.button)) {
        const int answer = CMessageBox::Show(this, b.kind, std::nullopt, SampleText(b.kind), 400, 160);
        if (auto* label = FindControl(QStringLiteral("DemoAnswer")))
          label->SetText(QStringLiteral("%1 box answered %2.").arg(QLatin1String(b.button + 3)).arg(answer));
        return;
      }
    }
  }
  ui::CWindowUI::Notify(msg);
}

}  // namespace snapsave::app
