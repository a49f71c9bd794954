// The photo wall: the files of the results list as a grid of thumbnails, so that lost photos are found by
// looking. It shows the list's rows (same order, ticks and selection); thumbnails are made one at a time
// while the window is idle, visible cells first, decoded at the cell's size, and only the most recent few
// hundred are kept.
#pragma once

#include <QImage>
#include <QTimer>

#include <functional>
#include <list>
#include <unordered_map>
#include <unordered_set>

#include "app/result_views.h"
#include "ui/controls.h"

class QScrollBar;

namespace snapsave::app {

class CPhotoWallUI : public ui::CControlUI {
 public:
  // Makes a picture's thumbnail no larger than the size given; a null image where there is none to make
  // (not a picture, unreadable, too large to read for a thumbnail).
  using Thumbnailer = std::function<QImage(const FoundFileRecord&, QSize)>;

  static constexpr int kThumbWidth = 132;
  static constexpr int kThumbHeight = 100;
  static constexpr int kCellWidth = 148;
  static constexpr int kCellHeight = 138;
  static constexpr size_t kMaxKept = 600;

  explicit CPhotoWallUI(QWidget* parent = nullptr);
  bool BlocksCaptionDrag() const override { return true; }

  void SetList(CListExUI* list) { list_ = list; }
  void SetThumbnailer(Thumbnailer make) { make_ = std::move(make); }
  // The list's rows changed (filled, filtered, sorted): thumbnails are made anew.
  void Reload();
  // The list's ticks or selection changed: only drawn again.
  void Refresh() { update(); }

  // For tests and the benchmark.
  size_t Kept() const { return kept_.size(); }
  bool HasThumbnail(int row) const { return kept_.count(row) != 0; }
  bool Tried(int row) const { return HasThumbnail(row) || failed_.count(row) != 0; }
  // Rows whose cell shows now, in row order.
  std::pair<int, int> VisibleRows() const;
  QRect CellRect(int row) const;  // in the control's coordinates
  QRect CheckRect(int row) const;
  // Makes the next thumbnail a visible cell lacks; false when none lacks one.
  bool MakeNext();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int Columns() const;
  int RowAt(QPoint pos) const;
  void UpdateScroll();
  void Keep(int row, QImage image);

  CListExUI* list_ = nullptr;
  Thumbnailer make_;
  QScrollBar* bar_;
  QTimer idle_;
  std::unordered_map<int, QImage> kept_;
  std::list<int> order_;  // least recently made first
  std::unordered_set<int> failed_;
};

}  // namespace snapsave::app
