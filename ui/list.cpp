#include "ui/list.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>

namespace snapsave::ui {
namespace {

constexpr int kCheckSize = 15;
constexpr int kScrollWidth = 12;

bool Fail(QString* error, const QString& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

CListHeaderItemUI::CListHeaderItemUI(QWidget* parent) : CHorizontalLayoutUI(parent) {
  align_ = Qt::AlignLeft | Qt::AlignVCenter;
  textPadding_ = QMargins(6, 0, 4, 0);
}

void CListHeaderItemUI::mousePressEvent(QMouseEvent* event) {
  event->accept();
}

void CListHeaderItemUI::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    Notify(QStringLiteral("headerclick"));
}

CListBodyUI::CListBodyUI(CListUI* list) : QWidget(list), list_(list) {}

void CListBodyUI::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  list_->PaintBody(painter, event->rect());
}

void CListBodyUI::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return event->ignore();
  list_->PressAt(event->position().toPoint(), false);
}

void CListBodyUI::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return event->ignore();
  list_->PressAt(event->position().toPoint(), true);
}

void CListBodyUI::wheelEvent(QWheelEvent* event) {
  list_->scroll_->setValue(list_->scroll_->value() - event->angleDelta().y() / 120 * list_->itemHeight_ * 3);
}

void CListBodyUI::resizeEvent(QResizeEvent*) {
  list_->UpdateScroll();
}

bool CListBodyUI::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QWidget::event(event);
  const QPoint pos = static_cast<QHelpEvent*>(event)->pos();
  const QString text = list_->CutTextAt(pos);
  if (text.isEmpty())
    QToolTip::hideText();
  else
    QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text, this);
  return true;
}

CListUI::CListUI(QWidget* parent)
    : CVerticalLayoutUI(parent), body_(new CListBodyUI(this)), scroll_(new QScrollBar(Qt::Vertical, body_)) {
  scroll_->hide();
  QObject::connect(scroll_, &QScrollBar::valueChanged, body_, [this] { body_->update(); });
  // The body is not a control; give it a placeholder slot in the layout.
  auto* slot = new CControlUI(this);
  slot->SetName(QString());
  Add(slot);
  body_->raise();
  setFocusPolicy(Qt::StrongFocus);
}

void CListUI::keyPressEvent(QKeyEvent* event) {
  if (!HandleKey(event->key(), event->modifiers())) CVerticalLayoutUI::keyPressEvent(event);
}

bool CListUI::HandleKey(int key, Qt::KeyboardModifiers modifiers) {
  const int count = RowCount();
  // The next shown row from `from` in `direction`, `steps` times; `from` itself where none follows.
  auto step = [&](int from, int direction, int steps) {
    int at = from;
    for (int r = from + direction; steps > 0 && r >= 0 && r < count; r += direction) {
      if (!IsRowShown(r)) continue;
      at = r;
      --steps;
    }
    return at;
  };
  const int page = std::max(1, body_->height() / std::max(1, itemHeight_) - 1);
  int row = selected_;
  switch (key) {
    case Qt::Key_A:
      if ((modifiers & Qt::ControlModifier) == 0 || !checkColumn_) return false;
      Notify(QStringLiteral("list_check_all"), 0);
      return true;
    case Qt::Key_Space:
      if (checkColumn_ && selected_ >= 0 && !rows_[static_cast<size_t>(selected_)].isNode)
        SetChecked(selected_, !rows_[static_cast<size_t>(selected_)].checked, true);
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (selected_ >= 0) Notify(QStringLiteral("itemselect"), selected_);
      return true;
    case Qt::Key_Down:
      row = step(selected_, 1, 1);
      break;
    case Qt::Key_Up:
      row = selected_ < 0 ? step(-1, 1, 1) : step(selected_, -1, 1);
      break;
    case Qt::Key_PageDown:
      row = step(selected_, 1, page);
      break;
    case Qt::Key_PageUp:
      row = selected_ < 0 ? step(-1, 1, 1) : step(selected_, -1, page);
      break;
    case Qt::Key_Home:
      row = step(-1, 1, 1);
      break;
    case Qt::Key_End:
      row = step(count, -1, 1);
      break;
    default:
      return false;
  }
  if (row >= 0 && row != selected_) {
    SelectRow(row, false);
    EnsureVisible(row);
    Notify(QStringLiteral("itemfocus"), row);
  }
  return true;
}

void CListUI::EnsureVisible(int row) {
  int top = 0, height = 0;
  ForEachShown([&](int i, const ListRow& r) {
    if (i == row) {
      height = ItemHeight(r);
      return false;
    }
    top += ItemHeight(r);
    return true;
  });
  if (top < scroll_->value())
    scroll_->setValue(top);
  else if (top + height > scroll_->value() + body_->height())
    scroll_->setValue(top + height - body_->height());
}

bool CListUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  auto bad = [&] { return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name)); };
  if (name == QLatin1String("itemheight") || name == QLatin1String("itemfont")) {
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok || v < 0 || v > 500) return bad();
    (name == QLatin1String("itemheight") ? itemHeight_ : itemFont_) = v;
    return true;
  }
  if (name == QLatin1String("checkcolumn")) {
    auto b = ParseBool(value);
    if (!b) return bad();
    checkColumn_ = *b;
    return true;
  }
  if (name == QLatin1String("itemtextcolor") || name == QLatin1String("itemselectedbkcolor") ||
      name == QLatin1String("itemlinecolor") || name == QLatin1String("nodebkcolor")) {
    auto c = ParseColor(value);
    if (!c) return bad();
    if (name == QLatin1String("itemtextcolor"))
      itemTextColor_ = *c;
    else if (name == QLatin1String("itemselectedbkcolor"))
      itemSelectedBkColor_ = *c;
    else if (name == QLatin1String("itemlinecolor"))
      itemLineColor_ = *c;
    else
      nodeBkColor_ = *c;
    return true;
  }
  if (name == QLatin1String("checkimage")) return ParseImage(value, &checkImage_, error);
  if (name == QLatin1String("checkedimage")) return ParseImage(value, &checkedImage_, error);
  if (name == QLatin1String("barimage")) return ParseImage(value, &barImage_, error);
  if (name == QLatin1String("barbkimage")) return ParseImage(value, &barBkImage_, error);
  return CVerticalLayoutUI::SetAttribute(name, value, error);
}

void CListUI::SetHeader(CListHeaderUI* header) {
  if (header_) Remove(header_);
  header_ = header;
  if (header_) {
    if (header_->FixedHeight() == 0) header_->SetFixedHeight(28);
    AddAt(header_, 0);
  }
}

std::vector<CListHeaderItemUI*> CListUI::HeaderItems() const {
  std::vector<CListHeaderItemUI*> out;
  if (!header_) return out;
  for (CControlUI* c : header_->Items())
    if (auto* item = dynamic_cast<CListHeaderItemUI*>(c)) out.push_back(item);
  return out;
}

void CListUI::FitColumns(std::initializer_list<int> columns, int maxWidth) {
  for (const int column : columns) {
    const auto col = static_cast<size_t>(column);
    if (column < 0) continue;
    // Sizes and dates are short: the widest text is among the longest, so only those are measured (a million
    // rows stay cheap).
    qsizetype longest = 0;
    for (const ListRow& row : rows_)
      if (col < row.cells.size()) longest = std::max(longest, row.cells[col].text.size());
    std::vector<ListCell> widest;
    for (const ListRow& row : rows_) {
      if (col >= row.cells.size() || row.cells[col].text.size() + 1 < longest) continue;
      widest.push_back(row.cells[col]);
      if (widest.size() == 256) break;
    }
    FitColumn(column, widest, maxWidth);
  }
}

void CListUI::FitColumn(int column, const std::vector<ListCell>& widest, int maxWidth) {
  const std::vector<CListHeaderItemUI*> items = HeaderItems();
  if (column < 0 || static_cast<size_t>(column) >= items.size()) return;
  int width = items[static_cast<size_t>(column)]->TextWidthWhole();
  for (const ListCell& c : widest) {
    const int icon = c.icon.Empty() ? 0 : 25;
    width =
        std::max(width, QFontMetrics(FontById(c.font >= 0 ? c.font : itemFont_)).horizontalAdvance(c.text) +
                            c.textPadding.left() + c.textPadding.right() + icon + 2);
  }
  items[static_cast<size_t>(column)]->SetFixedWidth(std::min(width, maxWidth));
}

std::vector<std::pair<int, int>> CListUI::ColumnSpans() const {
  std::vector<std::pair<int, int>> spans;
  for (CListHeaderItemUI* item : HeaderItems()) {
    if (item->isHidden()) {
      spans.emplace_back(0, 0);
      continue;
    }
    const QPoint topLeft = item->mapTo(this, QPoint(0, 0));
    spans.emplace_back(topLeft.x() - body_->x(), item->width());
  }
  if (spans.empty()) spans.emplace_back(0, body_->width());
  return spans;
}

int CListUI::AddRow(ListRow row) {
  rows_.push_back(std::move(row));
  UpdateScroll();
  body_->update();
  return static_cast<int>(rows_.size()) - 1;
}

void CListUI::AddRows(std::vector<ListRow> rows) {
  if (rows_.empty()) {
    rows_ = std::move(rows);
  } else {
    rows_.reserve(rows_.size() + rows.size());
    for (ListRow& row : rows) rows_.push_back(std::move(row));
  }
  UpdateScroll();
  body_->update();
}

void CListUI::InsertRow(int index, ListRow row) {
  const size_t at = std::min(rows_.size(), static_cast<size_t>(std::max(0, index)));
  rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
  if (selected_ >= static_cast<int>(at)) ++selected_;
  UpdateScroll();
  body_->update();
}

void CListUI::RemoveRow(int index) {
  if (index < 0 || index >= RowCount()) return;
  rows_.erase(rows_.begin() + index);
  if (selected_ == index)
    selected_ = -1;
  else if (selected_ > index)
    --selected_;
  UpdateScroll();
  body_->update();
}

void CListUI::RemoveAll() {
  rows_.clear();
  selected_ = -1;
  scroll_->setValue(0);
  UpdateScroll();
  body_->update();
}

ListRow& CListUI::MutableRow(int index) {
  body_->update();
  return rows_.at(static_cast<size_t>(index));
}

void CListUI::SetCellText(int row, int column, const QString& text) {
  if (row < 0 || row >= RowCount() || column < 0) return;
  auto& cells = rows_[static_cast<size_t>(row)].cells;
  if (static_cast<size_t>(column) >= cells.size()) cells.resize(static_cast<size_t>(column) + 1);
  cells[static_cast<size_t>(column)].text = text;
  body_->update();
}

void CListUI::SetChecked(int row, bool checked, bool notify) {
  if (row < 0 || row >= RowCount()) return;
  rows_[static_cast<size_t>(row)].checked = checked;
  body_->update();
  if (notify) Notify(QStringLiteral("list_check_click"), row, checked);
}

void CListUI::SetRowVisible(int row, bool visible) {
  if (row < 0 || row >= RowCount()) return;
  rows_[static_cast<size_t>(row)].visible = visible;
  UpdateScroll();
  body_->update();
}

void CListUI::SetExpanded(int row, bool expanded) {
  if (row < 0 || row >= RowCount()) return;
  rows_[static_cast<size_t>(row)].expanded = expanded;
  UpdateScroll();
  body_->update();
}

bool CListUI::IsRowShown(int row) const {
  const ListRow& r = rows_[static_cast<size_t>(row)];
  if (!r.visible) return false;
  if (r.isNode) return true;
  for (int i = row - 1; i >= 0; --i) {
    const ListRow& above = rows_[static_cast<size_t>(i)];
    if (above.isNode) return above.visible && above.expanded;
  }
  return true;
}

void CListUI::SelectRow(int row, bool notify) {
  if (row < -1 || row >= RowCount()) return;
  selected_ = row;
  body_->update();
  if (notify && row >= 0) Notify(QStringLiteral("itemselect"), row);
}

void CListUI::SortRows(const std::function<bool(const ListRow&, const ListRow&)>& less) {
  std::vector<size_t> order(rows_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return less(rows_[a], rows_[b]); });
  PermuteRows(order);
}

void CListUI::PermuteRows(const std::vector<size_t>& order) {
  if (order.size() != rows_.size()) return;
  // In place, cycle by cycle: a million rows move without a second copy of them. An index out of range or
  // repeated leaves the rows as they were.
  std::vector<bool> placed(order.size(), false);
  for (const size_t from : order) {
    if (from >= order.size() || placed[from]) return;
    placed[from] = true;
  }
  std::fill(placed.begin(), placed.end(), false);
  int newSelected = -1;
  for (size_t start = 0; start < order.size(); ++start) {
    if (static_cast<int>(order[start]) == selected_) newSelected = static_cast<int>(start);
    if (placed[start]) continue;
    ListRow first = std::move(rows_[start]);
    size_t at = start;
    while (order[at] != start) {
      rows_[at] = std::move(rows_[order[at]]);
      placed[at] = true;
      at = order[at];
    }
    rows_[at] = std::move(first);
    placed[at] = true;
  }
  selected_ = newSelected;
  body_->update();
}

void CListUI::ForEachShown(const std::function<bool(int, const ListRow&)>& fn) const {
  // One pass: a row's group is open when the last node above it is shown and expanded.
  bool groupOpen = true;
  for (int i = 0; i < RowCount(); ++i) {
    const ListRow& r = rows_[static_cast<size_t>(i)];
    if (r.isNode) groupOpen = r.visible && r.expanded;
    if (r.visible && (r.isNode || groupOpen) && !fn(i, r)) return;
  }
}

int CListUI::ContentHeight() const {
  int h = 0;
  ForEachShown([&](int, const ListRow& row) {
    h += ItemHeight(row);
    return true;
  });
  return h;
}

int CListUI::RowAt(int y) const {
  int top = -scroll_->value();
  int found = -1;
  ForEachShown([&](int i, const ListRow& row) {
    const int h = ItemHeight(row);
    if (y >= top && y < top + h) found = i;
    top += h;
    return found < 0 && top <= y;
  });
  return found;
}

void CListUI::UpdateScroll() {
  // The body takes the slot the layout reserved for it (the last item).
  if (!items_.empty()) body_->setGeometry(items_.back()->geometry());
  const int content = ContentHeight();
  const int room = body_->height();
  scroll_->setRange(0, std::max(0, content - room));
  scroll_->setPageStep(std::max(1, room));
  scroll_->setSingleStep(itemHeight_);
  scroll_->setVisible(content > room);
  scroll_->setGeometry(body_->width() - kScrollWidth, 0, kScrollWidth, body_->height());
}

void CListUI::PaintBody(QPainter& painter, const QRect& area) {
  const auto spans = ColumnSpans();
  const int right = scroll_->isVisible() ? body_->width() - kScrollWidth : body_->width();
  int y = -scroll_->value();
  ForEachShown([&](int i, const ListRow& row) {
    const int h = ItemHeight(row);
    const QRect rowRect(0, y, right, h);
    y += h;
    if (rowRect.top() > area.bottom()) return false;
    if (!rowRect.intersects(area)) return true;
    WithCells(row);
    if (i == selected_)
      painter.fillRect(rowRect, itemSelectedBkColor_);
    else if (row.isNode && nodeBkColor_.isValid())
      painter.fillRect(rowRect, nodeBkColor_);
    if (itemLineColor_.isValid()) {
      painter.setPen(itemLineColor_);
      painter.drawLine(rowRect.bottomLeft(), rowRect.bottomRight());
    }
    for (size_t col = 0; col < spans.size(); ++col) {
      const QRect cell(spans[col].first, rowRect.top(), spans[col].second, h);
      if (cell.width() <= 0) continue;
      if (col == 0 && checkColumn_ && !row.isNode) {
        const ImageDescriptor& box = row.checked ? checkedImage_ : checkImage_;
        const QRect boxRect(cell.left() + (cell.width() - kCheckSize) / 2, cell.top() + (h - kCheckSize) / 2,
                            kCheckSize, kCheckSize);
        if (box.Empty()) {
          painter.setPen(QColor(0x90, 0x90, 0x90));
          painter.drawRect(boxRect.adjusted(0, 0, -1, -1));
        } else {
          ImageDescriptor placed = box;
          placed.dest.reset();
          Draw(painter, placed, boxRect);
        }
        if (row.cells.empty()) continue;
      }
      if (col >= row.cells.size()) continue;
      const ListCell& c = row.cells[col];
      painter.save();
      painter.setClipRect(cell);
      QRect iconRect;
      const QRect textRect = CellTextRect(c, cell, &iconRect);
      if (!c.icon.Empty()) {
        ImageDescriptor icon = c.icon;
        icon.dest.reset();
        Draw(painter, icon, iconRect);
      }
      if (c.bar >= 0) {
        const QRect bar(cell.left() + 8, cell.top() + 4, cell.width() - 16, 7);
        if (!barBkImage_.Empty())
          Draw(painter, barBkImage_, bar);
        else
          painter.fillRect(bar, QColor(0xE6, 0xE9, 0xEE));
        const QRect done(bar.left(), bar.top(), bar.width() * std::clamp(c.bar, 0, 100) / 100, bar.height());
        if (!barImage_.Empty())
          Draw(painter, barImage_, done);
        else
          painter.fillRect(done, QColor(0x1F, 0x7A, 0xE0));
      }
      const QFont font = FontById(c.font >= 0 ? c.font : itemFont_);
      painter.setFont(font);
      painter.setPen(row.textColor.isValid() ? row.textColor : itemTextColor_);
      painter.drawText(textRect, static_cast<int>(c.align | Qt::TextSingleLine),
                       QFontMetrics(font).elidedText(c.text, Qt::ElideRight, textRect.width()));
      painter.restore();
    }
    return true;
  });
}

QRect CListUI::CellTextRect(const ListCell& c, const QRect& cell, QRect* iconRect) {
  QRect textRect = cell.marginsRemoved(c.textPadding);
  if (!c.icon.Empty()) {
    *iconRect = c.icon.dest ? c.icon.dest->translated(cell.topLeft())
                            : QRect(cell.left() + 4, cell.top() + (cell.height() - 16) / 2, 16, 16);
    if (!c.icon.dest) textRect.setLeft(std::max(textRect.left(), iconRect->right() + 5));
  }
  if (c.bar >= 0) textRect.setTop(cell.top() + 4 + 7);
  return textRect;
}

QString CListUI::CutTextAt(const QPoint& pos) const {
  const auto spans = ColumnSpans();
  int y = -scroll_->value();
  QString cut;
  ForEachShown([&](int, const ListRow& row) {
    const int h = ItemHeight(row);
    const int top = y;
    y += h;
    if (pos.y() >= y) return true;
    if (pos.y() < top) return false;
    WithCells(row);
    for (size_t col = 0; col < spans.size() && col < row.cells.size(); ++col) {
      if (pos.x() < spans[col].first || pos.x() >= spans[col].first + spans[col].second) continue;
      const ListCell& c = row.cells[col];
      QRect iconRect;
      const QRect textRect = CellTextRect(c, QRect(spans[col].first, top, spans[col].second, h), &iconRect);
      if (QFontMetrics(FontById(c.font >= 0 ? c.font : itemFont_)).horizontalAdvance(c.text) >
          textRect.width())
        cut = c.text;
    }
    return false;
  });
  return cut;
}

void CListUI::PressAt(const QPoint& pos, bool doubleClick) {
  const int row = RowAt(pos.y());
  if (row < 0) return;
  const auto spans = ColumnSpans();
  const ListRow& r = rows_[static_cast<size_t>(row)];
  if (!doubleClick && checkColumn_ && !r.isNode && !spans.empty() && pos.x() >= spans[0].first &&
      pos.x() < spans[0].first + spans[0].second) {
    SetChecked(row, !r.checked, true);
    return;
  }
  if (doubleClick) {
    Notify(QString::fromLatin1(r.isNode ? "itemactivate" : "list_item_dbclick"), row);
    if (r.isNode) SetExpanded(row, !r.expanded);
    return;
  }
  SelectRow(row);
}

}  // namespace snapsave::ui
