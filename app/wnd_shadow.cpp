#include "app/wnd_shadow.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace snapsave::app {
namespace {

constexpr int kMaxOffset = 20;

class ShadowWidget : public QWidget {
 public:
  ShadowWidget()
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowTransparentForInput |
                             Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
  }
  // Where the owner's face lies inside this window, and how soft the edge is.
  QRect face;
  int sharpness = 5;
  int darkness = 150;
  QColor color;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    // Concentric rounded rectangles, fading outwards, approximate a blurred edge cheaply.
    const int steps = std::max(1, sharpness);
    for (int i = steps; i >= 1; --i) {
      QColor c = color;
      const double t = static_cast<double>(steps - i + 1) / steps;
      c.setAlphaF(static_cast<float>(std::clamp(darkness / 255.0 * t * t / steps * 2.0, 0.0, 1.0)));
      p.setBrush(c);
      p.drawRoundedRect(QRectF(face).adjusted(-i, -i, i, i), i + 2, i + 2);
    }
  }
};

}  // namespace

CWndShadow::CWndShadow() = default;

CWndShadow::~CWndShadow() {
  if (owner_) owner_->removeEventFilter(this);
}

bool CWndShadow::Initialize() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

bool CWndShadow::Create(QWidget* owner) {
  if (!owner || !Initialize()) return false;
  if (owner_) owner_->removeEventFilter(this);
  owner_ = owner;
  shadow_ = std::make_unique<ShadowWidget>();
  owner->installEventFilter(this);
  Update();
  return true;
}

bool CWndShadow::SetSize(int size) {
  if (size < -kMaxOffset || size > kMaxOffset) return false;
  size_ = size;
  Update();
  return true;
}

bool CWndShadow::SetSharpness(int sharpness) {
  if (sharpness < 0 || sharpness > 20) return false;
  sharpness_ = sharpness;
  Update();
  return true;
}

bool CWndShadow::SetDarkness(int darkness) {
  if (darkness < 0 || darkness > 255) return false;
  darkness_ = darkness;
  Update();
  return true;
}

bool CWndShadow::SetPosition(int x, int y) {
  if (std::abs(x) > kMaxOffset || std::abs(y) > kMaxOffset) return false;
  x_ = x;
  y_ = y;
  Update();
  return true;
}

bool CWndShadow::SetColor(uint32_t rgb) {
  if (rgb > 0xFFFFFFu) return false;
  color_ = rgb;
  Update();
  return true;
}

bool CWndShadow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == owner_) {
    switch (event->type()) {
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::Show:
      case QEvent::Hide:
      case QEvent::WindowStateChange:
        Update();
        break;
      default:
        break;
    }
  }
  return false;
}

void CWndShadow::Update() {
  auto* shadow = static_cast<ShadowWidget*>(shadow_.get());
  if (!shadow || !owner_) return;
  const bool show =
      owner_->isVisible() &&
      !(owner_->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
  if (!show) {
    shadow->hide();
    return;
  }
  const int reach = std::max(0, size_ + sharpness_);
  QRect face = owner_->frameGeometry().adjusted(-size_, -size_, size_, size_).translated(x_, y_);
  const QRect outer = face.adjusted(-reach, -reach, reach, reach);
  shadow->face = face.translated(-outer.topLeft());
  shadow->sharpness = sharpness_;
  shadow->darkness = darkness_;
  shadow->color = QColor::fromRgb(static_cast<QRgb>(color_));
  shadow->setGeometry(outer);
  if (!shadow->isVisible()) {
    shadow->show();
    owner_->raise();
  }
  shadow->update();
}

}  // namespace snapsave::app
