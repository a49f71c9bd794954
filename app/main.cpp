// The desktop program. For now it opens a demo window that shows each message box; with
// "--screenshots <folder>" it saves a picture of the demo window and of each box there and exits.
#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>

#include "app/demo_wnd.h"
#include "app/embedded_skin.h"
#include "app/message_box.h"
#include "app/wnd_shadow.h"

namespace {

using snapsave::app::CDemoWnd;
using snapsave::app::CMessageBox;

int SaveScreenshots(CDemoWnd& demo, const QString& folder) {
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
    return 1;
  }
  auto save = [&](QWidget& w, const QString& name) {
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(name);
    if (!w.grab().save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
  };
  bool ok = save(demo, QStringLiteral("demo.png"));
  static const char* kNames[] = {"error", "confirm", "information", "warning", "question"};
  for (int kind = 0; kind < 5; ++kind) {
    auto box = CMessageBox::Create(&demo, kind, std::nullopt, CDemoWnd::SampleText(kind), 400, 160);
    if (!box) return 1;
    box->show();
    ok = save(*box, QStringLiteral("messagebox-%1-%2.png").arg(kind).arg(QLatin1String(kNames[kind]))) && ok;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString error;
  if (!snapsave::app::LoadEmbeddedSkin(&error)) {
    std::fprintf(stderr, "skin: %s\n", qPrintable(error));
    return 1;
  }
  CDemoWnd demo;
  if (!demo.LoadLayout(QStringLiteral("xml/Demo.xml"), &error)) {
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
  }
  const QStringList args = QApplication::arguments();
  const qsizetype shots = args.indexOf(QStringLiteral("--screenshots"));
  demo.CenterWindow();
  demo.show();
  if (shots >= 0) {
    if (shots + 1 >= args.size()) {
      std::fprintf(stderr, "usage: snapsave --screenshots <folder>\n");
      return 2;
    }
    return SaveScreenshots(demo, args[shots + 1]);
  }
  snapsave::app::CWndShadow shadow;
  if (snapsave::app::CWndShadow::Initialize() && shadow.Create(&demo)) {
    shadow.SetSize(4);
    shadow.SetPosition(0, 0);
    shadow.SetColor(0x2D2D2D);
  }
  return QApplication::exec();
}
