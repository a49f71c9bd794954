#include "app/message_box.h"

#include <QDebug>

#include "app/language_table.h"
#include "ui/controls.h"

namespace snapsave::app {

CMessageBox::CMessageBox(QWidget* parent) : ui::CWindowUI(parent, Qt::Dialog) {
  setObjectName(QStringLiteral("UIMessageBox"));
  setWindowTitle(QStringLiteral("Message Box"));
}

QString CMessageBox::LayoutOf(int kind) {
  switch (kind) {
    case Confirm:
      return QStringLiteral("xml/MessageBox_Confirm.xml");
    case Information:
      return QStringLiteral("xml/MessageBox_Information.xml");
    case Warning:
      return QStringLiteral("xml/MessageBox_Warning.xml");
    case Question:
      return QStringLiteral("xml/MessageBox_Question.xml");
    default:
      return QStringLiteral("xml/MessageBox_Error.xml");
  }
}

QString CMessageBox::DefaultTitleKeyOf(int kind) {
  switch (kind) {
    case Confirm:
      return QStringLiteral("MSG0402");
    case Information:
      return QStringLiteral("MSG0403");
    case Warning:
      return QStringLiteral("MSG0405");
    case Question:
      return QStringLiteral("MSG0404");
    default:
      return QStringLiteral("MSG0401");
  }
}

std::unique_ptr<CMessageBox> CMessageBox::Create(QWidget* parent, int kind,
                                                 const std::optional<QString>& title, const QString& text,
                                                 int width, int height) {
  LanguageTable::Section& messages = LanguageTable::Instance().GetSection(QStringLiteral("Messages"));
  const QString shownTitle = title ? *title : LanguageTable::Text(messages, DefaultTitleKeyOf(kind));
  std::unique_ptr<CMessageBox> box(new CMessageBox(parent));
  QString error;
  if (!box->LoadLayout(LayoutOf(kind), &error)) {
    qWarning().noquote() << "message box:" << error;
    return nullptr;
  }
  box->resize(QSize(width, height).expandedTo(box->minimumSize()));
  if (auto* c = box->FindControl(QStringLiteral("title"))) c->SetText(shownTitle);
  if (auto* c = box->FindControl(QStringLiteral("message"))) c->SetText(text);
  box->setWindowTitle(shownTitle);
  box->CenterWindow();
  return box;
}

int CMessageBox::Show(QWidget* parent, int kind, const std::optional<QString>& title, const QString& text,
                      int width, int height) {
  auto box = Create(parent, kind, title, text, width, height);
  // Without its layout the box cannot ask anything; "not OK" is the safe answer.
  if (!box) return 2;
  return box->ShowModal();
}

void CMessageBox::Notify(const ui::TNotifyUI& msg) {
  if (msg.type == QLatin1String("windowinit")) {
    LanguageTable::Instance().ApplyToWindow(this, QStringLiteral("MessageBox"));
    return;
  }
  if (msg.type != QLatin1String("click")) return;
  if (msg.name == QLatin1String("okbtn"))
    Close(1);
  else if (msg.name == QLatin1String("cancelbtn") || msg.name == QLatin1String("closebtn"))
    Close(2);
}

}  // namespace snapsave::app
