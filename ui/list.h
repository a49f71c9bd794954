// A list with a header of named items and rows painted by the list itself, so thousands of rows stay cheap.
// Rows may carry a check box in the first column, and node rows group the rows that follow them.
#pragma once

#include <QScrollBar>

#include <functional>
#include <vector>

#include "ui/controls.h"

namespace snapsave::ui {

struct ListCell {
  QString text;
  ImageDescriptor icon;  // drawn at icon.dest inside the cell (or at its left)
  int bar = -1;          // 0..100 draws a bar with the list's bar image; -1 none
  int font = -1;         // -1: the list's item font
  Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter;
  QMargins textPadding{4, 0, 4, 0};
};

struct ListRow {
  // Made on demand by the list's cell maker, when it has one and the row has none: a long list then holds
  // texts only for the rows that were shown.
  mutable std::vector<ListCell> cells;
  bool checked = false;
  bool isNode = false;  // a group row; the rows after it up to the next node belong to it
  bool expanded = true;
  bool visible = true;
  QColor textColor;  // invalid: the list's colour
  QVariant tag;
  size_t item = 0;  // the caller's index of what the row shows (cheaper than the tag to sort by)
  int height = 0;   // 0: the list's item height
};

// One header column; a click raises "headerclick" with the item's name. It may hold controls (a check box).
class CListHeaderItemUI : public CHorizontalLayoutUI {
 public:
  explicit CListHeaderItemUI(QWidget* parent = nullptr);
  bool BlocksCaptionDrag() const override { return true; }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
};

class CListHeaderUI : public CHorizontalLayoutUI {
 public:
  using CHorizontalLayoutUI::CHorizontalLayoutUI;
};

class CListUI;

class CListBodyUI : public QWidget {
 public:
  explicit CListBodyUI(CListUI* list);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool event(QEvent* event) override;

 private:
  CListUI* list_;
};

class CListUI : public CVerticalLayoutUI {
 public:
  explicit CListUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  bool BlocksCaptionDrag() const override { return true; }
  void keyPressEvent(QKeyEvent* event) override;
  void DoLayout() override {
    CVerticalLayoutUI::DoLayout();
    UpdateScroll();
  }

  void SetHeader(CListHeaderUI* header);
  CListHeaderUI* Header() const { return header_; }
  std::vector<CListHeaderItemUI*> HeaderItems() const;

  int AddRow(ListRow row);
  // Appends many rows with one relayout, so that filling a long list costs one pass.
  void AddRows(std::vector<ListRow> rows);
  void InsertRow(int index, ListRow row);
  void RemoveRow(int index);
  void RemoveAll();
  int RowCount() const { return static_cast<int>(rows_.size()); }
  const ListRow& Row(int index) const { return WithCells(rows_.at(static_cast<size_t>(index))); }
  size_t RowItem(int index) const { return rows_.at(static_cast<size_t>(index)).item; }
  // Makes the cells of a row that has none, from its tag, when it is shown or asked for.
  void SetCellMaker(std::function<void(const ListRow&, std::vector<ListCell>&)> maker) {
    cellMaker_ = std::move(maker);
  }
  ListRow& MutableRow(int index);
  void SetCellText(int row, int column, const QString& text);
  void SetChecked(int row, bool checked, bool notify = false);
  void SetRowVisible(int row, bool visible);
  void SetExpanded(int row, bool expanded);
  // -1 clears the selection. Raises "itemselect" with wParam = row when asked.
  void SelectRow(int row, bool notify = true);
  int SelectedRow() const { return selected_; }
  // The keyboard: arrows, Home, End and the page keys move the mark ("itemfocus"), Enter raises "itemselect"
  // as a click does, Space ticks the marked row, Ctrl+A asks for every shown row ticked ("list_check_all").
  bool HandleKey(int key, Qt::KeyboardModifiers modifiers);
  // Scrolls so that the row is in view.
  void EnsureVisible(int row);
  // Sizes the header items of `columns` to their caption and widest cell, so that none of them is cut (but
  // none wider than `maxWidth`).
  void FitColumns(std::initializer_list<int> columns, int maxWidth = 100000);
  // The same for a column whose cells are made on demand: `widest` holds the texts that may be its widest.
  void FitColumn(int column, const std::vector<ListCell>& widest, int maxWidth = 100000);
  // Stable sort of the rows; the selection follows its row.
  void SortRows(const std::function<bool(const ListRow&, const ListRow&)>& less);
  // Puts the rows in the order of their indices in `order`, a permutation of them; the selection follows.
  void PermuteRows(const std::vector<size_t>& order);
  bool IsRowShown(int row) const;

  // Display geometry, shared with the body.
  int ItemHeight(const ListRow& row) const { return row.height > 0 ? row.height : itemHeight_; }
  std::vector<std::pair<int, int>> ColumnSpans() const;  // x and width per header item, in body coordinates
  int RowAt(int y) const;                                // body y -> row, -1 when none
  int ContentHeight() const;
  void UpdateScroll();
  // The full text of the cell under a body point when the cell shows it cut; empty otherwise.
  QString CutTextAt(const QPoint& pos) const;

 private:
  friend class CListBodyUI;
  void PaintBody(QPainter& painter, const QRect& area);
  // Calls `fn` for every shown row in order until it returns false.
  void ForEachShown(const std::function<bool(int, const ListRow&)>& fn) const;
  void PressAt(const QPoint& pos, bool doubleClick);
  // Where a cell's icon and text go: the icon at its dest or at the left, the text beside it and below a bar.
  static QRect CellTextRect(const ListCell& c, const QRect& cell, QRect* iconRect);
  const ListRow& WithCells(const ListRow& row) const {
    if (row.cells.empty() && cellMaker_) cellMaker_(row, row.cells);
    return row;
  }

  CListHeaderUI* header_ = nullptr;
  CListBodyUI* body_;
  QScrollBar* scroll_;
  std::vector<ListRow> rows_;
  std::function<void(const ListRow&, std::vector<ListCell>&)> cellMaker_;
  int selected_ = -1;
  int itemHeight_ = 24;
  int itemFont_ = -1;
  bool checkColumn_ = false;
  QColor itemTextColor_ = QColor(0x33, 0x33, 0x33);
  QColor itemSelectedBkColor_ = QColor(0xE3, 0xF0, 0xFB);
  QColor itemLineColor_;
  QColor nodeBkColor_;
  ImageDescriptor checkImage_, checkedImage_, barImage_, barBkImage_;
};

}  // namespace snapsave::ui
