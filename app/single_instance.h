// One copy of the program per machine: the first copy listens on a local socket named after the instance
// name; a later copy asks it to show its window.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

namespace snapsave::app {

inline constexpr const char* kInstanceName = "Global\\Vornel_Snapsave_2019_For_Windows";

class SingleInstance {
 public:
  explicit SingleInstance(QString name = QString::fromLatin1(kInstanceName));
  ~SingleInstance();

  // True when no other copy runs; this one then answers later copies. A socket left behind by a copy that
  // ended without cleaning up is taken over.
  bool Acquire();
  // From a later copy: asks the first to show its window. False when it did not say it did (it has no
  // window yet, or it did not answer).
  bool AskFirstToShow(int timeoutMs = 2000);
  // In the first copy: shows the main window; false when there is none yet.
  std::function<bool()> onShowRequested;

 private:
  QString name_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace snapsave::app
