// A soft drop shadow behind a top-level window: a translucent, input-transparent window that follows its
// owner.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace snapsave::app {

class CWndShadow : public QObject {
 public:
  CWndShadow();
  ~CWndShadow() override;

  // Whether this platform can show translucent windows; false without a GUI application.
  static bool Initialize();
  bool Create(QWidget* owner);

  // Each setter refuses an out-of-range value (and keeps the old one); a visible shadow is redrawn.
  bool SetSize(int size);            // -20..20: how far the shadow reaches beyond the owner
  bool SetSharpness(int sharpness);  // 0..20: width of the soft edge
  bool SetDarkness(int darkness);    // 0..255: opacity at the darkest point
  bool SetPosition(int x, int y);    // each -20..20: offset from the owner
  bool SetColor(uint32_t rgb);       // 0xRRGGBB

  int Size() const { return size_; }
  int Sharpness() const { return sharpness_; }
  int Darkness() const { return darkness_; }
  int OffsetX() const { return x_; }
  int OffsetY() const { return y_; }
  uint32_t Color() const { return color_; }
  // The shadow window, for tests; null before Create.
  QWidget* ShadowWindow() const { return shadow_.get(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Update();

  QPointer<QWidget> owner_;
  std::unique_ptr<QWidget> shadow_;
  int size_ = 0;
  int sharpness_ = 5;
  int darkness_ = 150;
  int x_ = 5;
  int y_ = 5;
  uint32_t color_ = 0;
};

}  // namespace snapsave::app
