#include "ui/window.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>

#include "ui/controls.h"
#include "ui/layout_builder.h"
#include "ui/skin_archive.h"
#include "ui/tree.h"

namespace snapsave::ui {
namespace {

CControlUI* FindIn(QObject* parent, const QString& name) {
  for (QObject* child : parent->children()) {
    if (auto* c = dynamic_cast<CControlUI*>(child)) {
      if (c->Name() == name) return c;
    }
    if (auto* found = FindIn(child, name)) return found;
  }
  return nullptr;
}

}  // namespace

CWindowUI::CWindowUI(QWidget* parent, Qt::WindowFlags extraFlags)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | extraFlags) {
  setMouseTracking(true);
  defaultFont_.setFamily(QStringLiteral("DejaVu Sans"));
  defaultFont_.setPixelSize(12);
}

CWindowUI::~CWindowUI() {
  if (loop_) loop_->quit();
}

bool CWindowUI::LoadLayout(const QString& path, QString* error) {
  LayoutBuilder builder(SkinArchive::Current(), this);
  CControlUI* root = builder.Build(path, error);
  if (!root) return false;
  root_ = root;
  root_->setGeometry(rect());
  root_->show();
  SendNotify(root_, QStringLiteral("windowinit"));
  return true;
}

CControlUI* CWindowUI::FindControl(const QString& name) const {
  if (name.isEmpty()) return nullptr;
  return FindIn(const_cast<CWindowUI*>(this), name);
}

TreeNode* CWindowUI::FindTreeNode(const QString& name, CTreeUI** tree) const {
  std::vector<QObject*> pending{const_cast<CWindowUI*>(this)};
  while (!pending.empty()) {
    QObject* o = pending.back();
    pending.pop_back();
    if (auto* t = dynamic_cast<CTreeUI*>(o)) {
      if (TreeNode* node = t->FindNode(name)) {
        if (tree) *tree = t;
        return node;
      }
    }
    for (QObject* child : o->children()) pending.push_back(child);
  }
  return nullptr;
}

void CWindowUI::AddFont(int id, const QFont& font, bool isDefault) {
  fonts_[id] = font;
  if (isDefault) defaultFont_ = font;
}

QFont CWindowUI::Font(int id) const {
  auto it = fonts_.find(id);
  return it == fonts_.end() ? defaultFont_ : it->second;
}

bool CWindowUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  auto bad = [&] {
    if (error) *error = QStringLiteral("bad value '%1' for %2").arg(value, name);
    return false;
  };
  const QStringList parts = value.split(QLatin1Char(','));
  auto ints = [&](qsizetype count, std::vector<int>& out) {
    if (parts.size() != count) return false;
    for (const QString& p : parts) {
      bool ok = false;
      out.push_back(p.trimmed().toInt(&ok));
      if (!ok || out.back() < 0) return false;
    }
    return true;
  };
  std::vector<int> v;
  if (name == QLatin1String("size")) {
    if (!ints(2, v)) return bad();
    resize(v[0], v[1]);
  } else if (name == QLatin1String("mininfo")) {
    if (!ints(2, v)) return bad();
    SetMinInfo(QSize(v[0], v[1]));
  } else if (name == QLatin1String("caption")) {
    // "l,t,r,b": the band runs across the top, b pixels high.
    if (!ints(4, v)) return bad();
    captionHeight_ = v[3];
  } else if (name == QLatin1String("sizebox")) {
    if (!ints(4, v)) return bad();
    sizeBox_ = QMargins(v[0], v[1], v[2], v[3]);
  } else if (name == QLatin1String("roundcorner")) {
    if (!ints(2, v)) return bad();
    SetRoundCorner(v[0]);
  } else if (name == QLatin1String("title")) {
    setWindowTitle(value);
  } else {
    if (error) *error = QStringLiteral("unknown attribute '%1'").arg(name);
    return false;
  }
  return true;
}

void CWindowUI::SetRoundCorner(int radius) {
  roundCorner_ = std::max(0, radius);
  UpdateMask();
}

void CWindowUI::SetMinInfo(const QSize& size) {
  setMinimumSize(size);
  if (width() < size.width() || height() < size.height()) resize(size.expandedTo(this->size()));
}

void CWindowUI::SendNotify(CControlUI* sender, const QString& type, qint64 wParam, const QVariant& lParam) {
  TNotifyUI msg;
  msg.type = type;
  msg.sender = sender;
  msg.name = sender ? sender->Name() : QString();
  msg.wParam = wParam;
  msg.lParam = lParam;
  Notify(msg);
}

void CWindowUI::Notify(const TNotifyUI& msg) {
  if (msg.type != QLatin1String("click")) return;
  auto setMaxButtons = [this](bool maximised) {
    if (CControlUI* b = FindControl(QStringLiteral("maxbtn"))) b->setVisible(!maximised);
    if (CControlUI* b = FindControl(QStringLiteral("restorebtn"))) b->setVisible(maximised);
  };
  if (msg.name == QLatin1String("closebtn")) {
    Close(2);
  } else if (msg.name == QLatin1String("minbtn")) {
    showMinimized();
  } else if (msg.name == QLatin1String("maxbtn")) {
    showMaximized();
    setMaxButtons(true);
  } else if (msg.name == QLatin1String("restorebtn")) {
    showNormal();
    setMaxButtons(false);
  }
}

CControlUI* CWindowUI::CreateControl(const QString&) {
  return nullptr;
}

int CWindowUI::ShowModal() {
  setWindowModality(Qt::ApplicationModal);
  closing_ = false;
  show();
  raise();
  activateWindow();
  if (!closing_) {
    QPointer<CWindowUI> self(this);
    QEventLoop loop;
    loop_ = &loop;
    loop.exec(QEventLoop::DialogExec);
    // Destroyed while running (its owner went away): report it as closed.
    if (!self) return 2;
    loop_ = nullptr;
  }
  hide();
  return endCode_;
}

void CWindowUI::Close(int endCode) {
  endCode_ = endCode;
  closing_ = true;
  if (loop_)
    loop_->quit();
  else
    hide();
}

void CWindowUI::CenterWindow() {
  QRect area;
  if (QWidget* owner = parentWidget(); owner && owner->isVisible()) {
    area = owner->frameGeometry();
  } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
    area = screen->availableGeometry();
    // A window larger than the screen (a small one, or a large scale) is fitted to it, its minimum too.
    if (area.isValid()) {
      setMinimumSize(minimumSize().boundedTo(area.size()));
      resize(size().boundedTo(area.size()));
    }
  }
  if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}

void CWindowUI::SetTimer(CControlUI* control, int id, int milliseconds) {
  // A fresh timer each time: restarting is what callers want, and a key left by a destroyed control must not
  // keep serving a new control that happens to get the same address.
  auto timer = std::make_unique<QTimer>();
  QPointer<CControlUI> target(control);
  const std::pair<const CControlUI*, int> key{control, id};
  QObject::connect(timer.get(), &QTimer::timeout, this, [this, target, key] {
    if (target) {
      SendNotify(target, QStringLiteral("timer"), key.second);
    } else if (auto it = timers_.find(key); it != timers_.end()) {
      it->second->stop();
    }
  });
  timer->start(std::max(0, milliseconds));
  auto& slot = timers_[key];
  // The old timer may be the one whose notification is running now; let it go once that returns.
  if (slot) {
    slot->stop();
    slot.release()->deleteLater();
  }
  slot = std::move(timer);
}

void CWindowUI::KillTimer(CControlUI* control, int id) {
  auto it = timers_.find({control, id});
  if (it != timers_.end()) it->second->stop();
}

bool CWindowUI::IsTimerActive(CControlUI* control, int id) const {
  auto it = timers_.find({control, id});
  return it != timers_.end() && it->second->isActive();
}

void CWindowUI::paintEvent(QPaintEvent*) {
  // The root control paints the face; this only covers the area before a layout is loaded.
  if (root_) return;
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
}

void CWindowUI::resizeEvent(QResizeEvent*) {
  if (root_) root_->setGeometry(rect());
  UpdateMask();
}

void CWindowUI::UpdateMask() {
  // The headless platform has no masks; there is nothing to round there.
  static const bool masks = QGuiApplication::platformName() != QLatin1String("offscreen");
  if (!masks) return;
  if (roundCorner_ <= 0 || isMaximized()) {
    clearMask();
    return;
  }
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), roundCorner_, roundCorner_);
  setMask(QRegion(path.toFillPolygon().toPolygon()));
}

Qt::Edges CWindowUI::EdgesAt(const QPoint& pos) const {
  Qt::Edges edges;
  if (isMaximized()) return edges;
  if (pos.x() < sizeBox_.left()) edges |= Qt::LeftEdge;
  if (pos.x() >= width() - sizeBox_.right()) edges |= Qt::RightEdge;
  if (pos.y() < sizeBox_.top()) edges |= Qt::TopEdge;
  if (pos.y() >= height() - sizeBox_.bottom()) edges |= Qt::BottomEdge;
  return edges;
}

bool CWindowUI::InCaption(const QPoint& pos) const {
  if (pos.y() < 0 || pos.y() >= captionHeight_) return false;
  // Controls that take the pointer keep it, even inside the band.
  for (QWidget* w = childAt(pos); w && w != this; w = w->parentWidget())
    if (auto* c = dynamic_cast<CControlUI*>(w); c && c->BlocksCaptionDrag()) return false;
  return true;
}

void CWindowUI::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPoint pos = mapFromGlobal(event->globalPosition().toPoint());
  dragEdges_ = EdgesAt(pos);
  dragging_ = dragEdges_ || InCaption(pos);
  pressGlobal_ = event->globalPosition().toPoint();
  pressGeometry_ = geometry();
}

void CWindowUI::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = mapFromGlobal(event->globalPosition().toPoint());
  if (!dragging_) {
    const Qt::Edges edges = EdgesAt(pos);
    if ((edges & (Qt::LeftEdge | Qt::RightEdge)) && (edges & (Qt::TopEdge | Qt::BottomEdge)))
      setCursor(((edges & Qt::LeftEdge) != 0) == ((edges & Qt::TopEdge) != 0) ? Qt::SizeFDiagCursor
                                                                              : Qt::SizeBDiagCursor);
    else if (edges & (Qt::LeftEdge | Qt::RightEdge))
      setCursor(Qt::SizeHorCursor);
    else if (edges)
      setCursor(Qt::SizeVerCursor);
    else
      unsetCursor();
    return;
  }
  const QPoint delta = event->globalPosition().toPoint() - pressGlobal_;
  if (!dragEdges_) {
    if (isMaximized()) return;
    move(pressGeometry_.topLeft() + delta);
    return;
  }
  QRect g = pressGeometry_;
  const QSize min = minimumSize();
  if (dragEdges_ & Qt::LeftEdge) g.setLeft(std::min(g.left() + delta.x(), g.right() + 1 - min.width()));
  if (dragEdges_ & Qt::RightEdge) g.setRight(g.right() + delta.x());
  if (dragEdges_ & Qt::TopEdge) g.setTop(std::min(g.top() + delta.y(), g.bottom() + 1 - min.height()));
  if (dragEdges_ & Qt::BottomEdge) g.setBottom(g.bottom() + delta.y());
  setGeometry(QRect(g.topLeft(), g.size().expandedTo(min)));
}

void CWindowUI::mouseReleaseEvent(QMouseEvent*) {
  dragging_ = false;
  dragEdges_ = {};
}

void CWindowUI::mouseDoubleClickEvent(QMouseEvent* event) {
  // A double click on the band of a sizable window toggles maximised, as on a native title bar.
  const QPoint pos = mapFromGlobal(event->globalPosition().toPoint());
  if (!InCaption(pos) || sizeBox_.isNull() || !FindControl(QStringLiteral("maxbtn"))) return;
  isMaximized() ? showNormal() : showMaximized();
}

void CWindowUI::closeEvent(QCloseEvent* event) {
  // A close from outside (window manager, Alt+F4) ends a modal run as the close button does.
  if (loop_) {
    event->ignore();
    Close(2);
    return;
  }
  QWidget::closeEvent(event);
}

}  // namespace snapsave::ui
