// A tree of named nodes with tri-state check boxes, painted by the tree itself.
#pragma once

#include <QScrollBar>

#include <memory>
#include <vector>

#include "ui/controls.h"

namespace snapsave::ui {

enum class CheckState { Unchecked = 0, Checked = 1, Partial = 2 };

struct TreeNode {
  QString name;
  QString text;
  QString style;  // free-form class of the node, e.g. "filetype"
  ImageDescriptor icon;
  QVariant tag;
  CheckState check = CheckState::Unchecked;
  bool expanded = true;
  bool visible = true;
  TreeNode* parent = nullptr;
  std::vector<std::unique_ptr<TreeNode>> children;
};

class CTreeUI : public CControlUI {
 public:
  explicit CTreeUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  bool BlocksCaptionDrag() const override { return true; }

  TreeNode* Root() { return &root_; }
  TreeNode* AddNode(TreeNode* parent, const QString& name, const QString& text);
  void RemoveChildren(TreeNode* node);
  TreeNode* FindNode(const QString& name);
  void SetNodeText(TreeNode* node, const QString& text);
  void SetNodeVisible(TreeNode* node, bool visible);
  void SetExpanded(TreeNode* node, bool expanded);

  // Checking a node applies its state to all descendants and settles its ancestors (all children checked:
  // checked; none checked or partial: unchecked; otherwise partial). Raises "checkboxselectchanged" when
  // asked.
  void SetCheck(TreeNode* node, bool checked, bool notify = false);
  // Sets one node's state as it stands (e.g. partial from a list below it) and settles its ancestors.
  void SetCheckState(TreeNode* node, CheckState state);
  void SelectNode(TreeNode* node, bool notify = true);
  TreeNode* SelectedNode() const { return selected_; }
  // Nodes in display order (visible ones under expanded parents).
  std::vector<TreeNode*> VisibleNodes();

 protected:
  void PaintStatus(QPainter& painter) override;
  void PaintText(QPainter&) override {}
  void mousePressEvent(QMouseEvent* event) override;
  // Up and Down move the selection, Left folds a node (or goes to its parent), Right unfolds it, Space ticks.
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  static void ApplyDown(TreeNode* node, CheckState state);
  static void SettleUp(TreeNode* node);
  int Depth(const TreeNode* node) const;
  void UpdateScroll();

  TreeNode root_;
  TreeNode* selected_ = nullptr;
  QScrollBar* scroll_;
  int itemHeight_ = 24;
  int indent_ = 18;
  ImageDescriptor checkImage_, checkedImage_, partImage_, expandImage_, collapseImage_;
  QColor selectedBkColor_ = QColor(0xE3, 0xF0, 0xFB);
  QColor hotBkColor_;
};

}  // namespace snapsave::ui
