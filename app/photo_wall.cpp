#include "app/photo_wall.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>

namespace snapsave::app {

namespace {
constexpr int kMargin = 8;
constexpr int kCheckSize = 15;
}  // namespace

CPhotoWallUI::CPhotoWallUI(QWidget* parent) : CControlUI(parent), bar_(new QScrollBar(Qt::Vertical, this)) {
  setFocusPolicy(Qt::StrongFocus);
  bar_->setSingleStep(kCellHeight / 3);
  QObject::connect(bar_, &QScrollBar::valueChanged, this, [this] {
    update();
    idle_.start();
  });
  // One thumbnail per turn of the event loop, so that clicks and scrolling never wait for more than one.
  idle_.setInterval(0);
  QObject::connect(&idle_, &QTimer::timeout, this, [this] {
    if (!MakeNext()) idle_.stop();
  });
}

int CPhotoWallUI::Columns() const {
  return std::max(1, (width() - bar_->sizeHint().width() - kMargin) / kCellWidth);
}

QRect CPhotoWallUI::CellRect(int row) const {
  const int columns = Columns();
  return {kMargin + (row % columns) * kCellWidth, kMargin + (row / columns) * kCellHeight - bar_->value(),
          kCellWidth - 8, kCellHeight - 8};
}

QRect CPhotoWallUI::CheckRect(int row) const {
  const QRect cell = CellRect(row);
  return {cell.left() + 4, cell.top() + 4, kCheckSize, kCheckSize};
}

std::pair<int, int> CPhotoWallUI::VisibleRows() const {
  const int count = list_ != nullptr ? list_->RowCount() : 0;
  if (count == 0 || height() <= 0) return {0, 0};
  const int columns = Columns();
  const int firstLine = std::max(0, (bar_->value() - kMargin) / kCellHeight);
  const int lines = height() / kCellHeight + 2;
  return {std::min(count, firstLine * columns), std::min(count, (firstLine + lines) * columns)};
}

int CPhotoWallUI::RowAt(QPoint pos) const {
  const auto [first, last] = VisibleRows();
  for (int row = first; row < last; ++row)
    if (CellRect(row).contains(pos)) return row;
  return -1;
}

void CPhotoWallUI::UpdateScroll() {
  const int count = list_ != nullptr ? list_->RowCount() : 0;
  const int lines = (count + Columns() - 1) / Columns();
  bar_->setGeometry(width() - bar_->sizeHint().width(), 0, bar_->sizeHint().width(), height());
  bar_->setPageStep(std::max(1, height()));
  bar_->setRange(0, std::max(0, lines * kCellHeight + kMargin - height()));
}

void CPhotoWallUI::Reload() {
  kept_.clear();
  order_.clear();
  failed_.clear();
  bar_->setValue(0);
  UpdateScroll();
  update();
  if (isVisible()) idle_.start();
}

void CPhotoWallUI::Keep(int row, QImage image) {
  if (image.isNull()) {
    failed_.insert(row);
    return;
  }
  kept_[row] = std::move(image);
  order_.push_back(row);
  // The oldest thumbnails go first: scrolled out of sight long ago, they are made again if scrolled back.
  while (kept_.size() > kMaxKept && !order_.empty()) {
    kept_.erase(order_.front());
    order_.pop_front();
  }
}

bool CPhotoWallUI::MakeNext() {
  if (list_ == nullptr || !make_ || !isVisible()) return false;
  const auto [first, last] = VisibleRows();
  for (int row = first; row < last; ++row) {
    if (Tried(row)) continue;
    Keep(row, make_(list_->RecordOf(row), QSize(kThumbWidth, kThumbHeight)));
    update(CellRect(row));
    return true;
  }
  return false;
}

void CPhotoWallUI::paintEvent(QPaintEvent* event) {
  CControlUI::paintEvent(event);
  if (list_ == nullptr) return;
  QPainter p(this);
  p.setClipRect(rect().adjusted(0, 0, -bar_->width(), 0));
  const auto [first, last] = VisibleRows();
  const int selected = list_->SelectedRow();
  const QFontMetrics metrics(font());
  for (int row = first; row < last; ++row) {
    const QRect cell = CellRect(row);
    if (!cell.intersects(event->rect())) continue;
    const FoundFileRecord& record = list_->RecordOf(row);
    if (row == selected) p.fillRect(cell, QColor(0xE3, 0xF0, 0xFB));
    const QRect picture(cell.left() + (cell.width() - kThumbWidth) / 2, cell.top() + 4, kThumbWidth,
                        kThumbHeight);
    if (const auto it = kept_.find(row); it != kept_.end()) {
      const QImage& image = it->second;
      const QPoint at(picture.left() + (picture.width() - image.width()) / 2,
                      picture.top() + (picture.height() - image.height()) / 2);
      p.drawImage(at, image);
    } else {
      // Not made yet, or no picture to make one from: the type stands in for it.
      p.fillRect(picture, QColor(0xF0, 0xF2, 0xF5));
      p.setPen(QColor(0x8A, 0x93, 0x9F));
      p.drawText(picture, Qt::AlignCenter, result_view::TypeText(record).toUpper());
    }
    if (record.isIntact == 0) {
      // What decoded is shown; the band says the rest may be missing.
      const QRect band(picture.left(), picture.bottom() - 15, picture.width(), 16);
      p.fillRect(band, QColor(0xC6, 0x28, 0x28, 0xD0));
      p.setPen(Qt::white);
      p.drawText(band, Qt::AlignCenter, result_view::StateText(record));
    }
    const QRect box = CheckRect(row);
    p.fillRect(box, Qt::white);
    p.setPen(QColor(0x8A, 0x93, 0x9F));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    if (list_->Row(row).checked) {
      p.setPen(QPen(QColor(0x1F, 0x7A, 0xE0), 2));
      p.drawPolyline(QPolygon(
          {box.topLeft() + QPoint(3, 7), box.topLeft() + QPoint(6, 11), box.topLeft() + QPoint(12, 3)}));
    }
    const std::string_view name = record.Name();
    const QString text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    p.setPen(QColor(0x33, 0x3B, 0x45));
    const QRect caption(cell.left() + 2, picture.bottom() + 4, cell.width() - 4, metrics.height());
    p.drawText(caption, Qt::AlignHCenter | Qt::AlignTop,
               metrics.elidedText(text, Qt::ElideMiddle, caption.width()));
  }
}

void CPhotoWallUI::resizeEvent(QResizeEvent* event) {
  CControlUI::resizeEvent(event);
  UpdateScroll();
  if (isVisible()) idle_.start();
}

void CPhotoWallUI::wheelEvent(QWheelEvent* event) {
  bar_->setValue(bar_->value() - event->angleDelta().y() * kCellHeight / 240);
  event->accept();
}

void CPhotoWallUI::mousePressEvent(QMouseEvent* event) {
  setFocus();
  const int row = RowAt(event->position().toPoint());
  if (row < 0 || list_ == nullptr) return;
  if (CheckRect(row).contains(event->position().toPoint())) {
    list_->SetChecked(row, !list_->Row(row).checked, true);
  } else {
    list_->SelectRow(row, false);
    Notify(QStringLiteral("wallselect"), row);
  }
  update();
}

void CPhotoWallUI::mouseDoubleClickEvent(QMouseEvent* event) {
  const int row = RowAt(event->position().toPoint());
  if (row >= 0) Notify(QStringLiteral("wallactivate"), row);
}

void CPhotoWallUI::keyPressEvent(QKeyEvent* event) {
  if (list_ == nullptr || list_->RowCount() == 0) return;
  const int row = std::max(0, list_->SelectedRow());
  if (event->key() == Qt::Key_Space) {
    list_->SetChecked(row, !list_->Row(row).checked, true);
  } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    Notify(QStringLiteral("wallactivate"), row);
  } else {
    int to = row;
    if (event->key() == Qt::Key_Right) to = row + 1;
    if (event->key() == Qt::Key_Left) to = row - 1;
    if (event->key() == Qt::Key_Down) to = row + Columns();
    if (event->key() == Qt::Key_Up) to = row - Columns();
    to = std::clamp(to, 0, list_->RowCount() - 1);
    list_->SelectRow(to, false);
    const QRect cell = CellRect(to);
    if (cell.top() < 0) bar_->setValue(bar_->value() + cell.top() - kMargin);
    if (cell.bottom() > height()) bar_->setValue(bar_->value() + cell.bottom() - height() + kMargin);
  }
  update();
}

}  // namespace snapsave::app
