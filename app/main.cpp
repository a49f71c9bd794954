// The desktop program: one copy per machine, the main window, and a tidy exit that ends the preview players
// and removes the preview's temporary file.
#include <QApplication>
#include <QIcon>
#include <QPixmap>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/crash_handler.h"
#include "app/device_monitor.h"
#include "app/embedded_skin.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/single_instance.h"
#include "app/wnd_shadow.h"
#include "os/paths.h"
#include "ui/skin_archive.h"

namespace {

using namespace snapsave::app;

QIcon ProgramIcon() {
  const QImage image = snapsave::ui::SkinArchive::Current().Image(QStringLiteral("snapsave.png"));
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

}  // namespace

int main(int argc, char** argv) {
  InstallCrashHandler();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Snapsave"));
  QApplication::setDesktopFileName(QStringLiteral("snapsave"));

  QString error;
  if (!LoadEmbeddedSkin(&error)) {
    std::fprintf(stderr, "skin: %s\n", qPrintable(error));
    return 1;
  }

  SingleInstance instance;
  if (!instance.Acquire()) {
    if (!instance.AskFirstToShow())
      CMessageBox::Show(nullptr, CMessageBox::Information, std::nullopt,
                        QStringLiteral("Snapsave is running."), 350, 150);
    return 0;
  }

  int result = 0;
  {
    CMainWnd window;
    if (!window.LoadLayout(QStringLiteral("xml/skin.xml"), &error)) {
      std::fprintf(stderr, "%s\n", qPrintable(error));
      return 1;
    }
    instance.onShowRequested = [&window] {
      window.showNormal();
      window.raise();
      window.activateWindow();
      return true;
    };
    const QIcon icon = ProgramIcon();
    if (!icon.isNull()) {
      window.setWindowIcon(icon);
      QApplication::setWindowIcon(icon);
    }
    window.CenterWindow();
    window.show();
    window.activateWindow();
    CWndShadow shadow;
    if (CWndShadow::Initialize() && shadow.Create(&window)) {
      shadow.SetSize(4);
      shadow.SetPosition(0, 0);
      shadow.SetColor(0x2D2D2D);
    }
    DeviceMonitor devices;
    devices.onChange = [&window](bool arrival) { window.DeviceChanged(arrival); };
    devices.Start();
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);

    result = QApplication::exec();
    instance.onShowRequested = nullptr;
    window.Players().EndAll();
  }
  // The preview's temporary copies: media and pictures.
  std::error_code ec;
  std::filesystem::remove(snapsave::os::ScanLogFolder() / "tmp.avi", ec);
  std::filesystem::remove(snapsave::os::ScanLogFolder() / "tmp.jpg", ec);
  return result;
}
