// A frameless skinned window built from a layout: caption band dragging, sizing border, rounded corners,
// fonts by id, controls by name, notifications, timers per control and modal running with an end code.
#pragma once

#include <QHash>
#include <QMargins>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <map>
#include <memory>
#include <utility>

class QEventLoop;
class QTimer;

namespace snapsave::ui {

class CControlUI;
class CTreeUI;
struct TreeNode;

struct TNotifyUI {
  QString type;  // "windowinit", "click", "selectchanged", "itemselect", "timer", ...
  QString name;  // the sender's name
  CControlUI* sender = nullptr;
  qint64 wParam = 0;
  QVariant lParam;
};

class CWindowUI : public QWidget {
 public:
  explicit CWindowUI(QWidget* parent = nullptr, Qt::WindowFlags extraFlags = {});
  ~CWindowUI() override;

  // Builds the window from a layout of the current skin and raises "windowinit". False, with a reason naming
  // the file and line, when the layout does not load; the window then stays empty.
  bool LoadLayout(const QString& path, QString* error = nullptr);
  CControlUI* Root() const { return root_; }

  CControlUI* FindControl(const QString& name) const;
  template <class T>
  T* Find(const QString& name) const {
    return dynamic_cast<T*>(FindControl(name));
  }
  // Tree nodes are items of a tree, not controls; the language table reaches them by name too.
  TreeNode* FindTreeNode(const QString& name, CTreeUI** tree = nullptr) const;

  void AddFont(int id, const QFont& font, bool isDefault);
  QFont Font(int id) const;
  QFont DefaultFont() const { return defaultFont_; }

  // Window element attributes: size, mininfo, caption, sizebox, roundcorner, bkcolor.
  bool SetAttribute(const QString& name, const QString& value, QString* error);
  void SetCaptionHeight(int height) { captionHeight_ = height; }
  int CaptionHeight() const { return captionHeight_; }
  void SetSizeBox(const QMargins& box) { sizeBox_ = box; }
  void SetRoundCorner(int radius);
  void SetMinInfo(const QSize& size);

  void SendNotify(CControlUI* sender, const QString& type, qint64 wParam = 0, const QVariant& lParam = {});
  // Where a window reacts to its controls; the base handles minbtn, maxbtn, restorebtn and closebtn.
  virtual void Notify(const TNotifyUI& msg);
  // Custom control classes a window's layout may name; nullptr for the built-in ones.
  virtual CControlUI* CreateControl(const QString& element);

  // Runs until Close; returns the end code. The window is application-modal meanwhile.
  int ShowModal();
  void Close(int endCode);
  int EndCode() const { return endCode_; }
  void CenterWindow();

  // One timer per (control, id); starting a running timer restarts it. Fires "timer" with wParam = id.
  void SetTimer(CControlUI* control, int id, int milliseconds);
  void KillTimer(CControlUI* control, int id);
  bool IsTimerActive(CControlUI* control, int id) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  Qt::Edges EdgesAt(const QPoint& pos) const;
  bool InCaption(const QPoint& pos) const;
  void UpdateMask();

  CControlUI* root_ = nullptr;
  std::map<int, QFont> fonts_;
  QFont defaultFont_;
  int captionHeight_ = 0;
  QMargins sizeBox_;
  int roundCorner_ = 0;
  int endCode_ = 0;
  QEventLoop* loop_ = nullptr;
  bool closing_ = false;
  // Drag or resize in progress.
  Qt::Edges dragEdges_;
  bool dragging_ = false;
  QPoint pressGlobal_;
  QRect pressGeometry_;
  std::map<std::pair<const CControlUI*, int>, std::unique_ptr<QTimer>> timers_;
};

}  // namespace snapsave::ui
