#include "ui/tree.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace snapsave::ui {
namespace {

constexpr int kCheckSize = 15;

bool Fail(QString* error, const QString& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

CTreeUI::CTreeUI(QWidget* parent) : CControlUI(parent), scroll_(new QScrollBar(Qt::Vertical, this)) {
  scroll_->hide();
  QObject::connect(scroll_, &QScrollBar::valueChanged, this, [this] { update(); });
  setFocusPolicy(Qt::StrongFocus);
}

bool CTreeUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("itemheight") || name == QLatin1String("indent")) {
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok || v < 1 || v > 200) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    (name == QLatin1String("itemheight") ? itemHeight_ : indent_) = v;
    return true;
  }
  if (name == QLatin1String("checkimage")) return ParseImage(value, &checkImage_, error);
  if (name == QLatin1String("checkedimage")) return ParseImage(value, &checkedImage_, error);
  if (name == QLatin1String("partimage")) return ParseImage(value, &partImage_, error);
  if (name == QLatin1String("expandimage")) return ParseImage(value, &expandImage_, error);
  if (name == QLatin1String("collapseimage")) return ParseImage(value, &collapseImage_, error);
  if (name == QLatin1String("itemselectedbkcolor")) {
    auto c = ParseColor(value);
    if (!c) return Fail(error, QStringLiteral("bad value '%1' for %2").arg(value, name));
    selectedBkColor_ = *c;
    return true;
  }
  return CControlUI::SetAttribute(name, value, error);
}

TreeNode* CTreeUI::AddNode(TreeNode* parent, const QString& name, const QString& text) {
  if (!parent) parent = &root_;
  auto node = std::make_unique<TreeNode>();
  node->name = name;
  node->text = text;
  node->parent = parent;
  TreeNode* raw = node.get();
  parent->children.push_back(std::move(node));
  UpdateScroll();
  update();
  return raw;
}

void CTreeUI::RemoveChildren(TreeNode* node) {
  if (!node) return;
  // The selection must not point into freed nodes.
  for (TreeNode* s = selected_; s; s = s->parent)
    if (s->parent == node) {
      selected_ = nullptr;
      break;
    }
  node->children.clear();
  UpdateScroll();
  update();
}

TreeNode* CTreeUI::FindNode(const QString& name) {
  if (name.isEmpty()) return nullptr;
  std::vector<TreeNode*> pending{&root_};
  while (!pending.empty()) {
    TreeNode* n = pending.back();
    pending.pop_back();
    if (n != &root_ && n->name == name) return n;
    for (auto& c : n->children) pending.push_back(c.get());
  }
  return nullptr;
}

void CTreeUI::SetNodeText(TreeNode* node, const QString& text) {
  if (!node) return;
  node->text = text;
  update();
}

void CTreeUI::SetNodeVisible(TreeNode* node, bool visible) {
  if (!node) return;
  node->visible = visible;
  UpdateScroll();
  update();
}

void CTreeUI::SetExpanded(TreeNode* node, bool expanded) {
  if (!node || node->expanded == expanded) return;
  node->expanded = expanded;
  UpdateScroll();
  update();
  Notify(QStringLiteral("itemexpand"), expanded ? 1 : 0, node->name);
}

void CTreeUI::ApplyDown(TreeNode* node, CheckState state) {
  node->check = state;
  for (auto& c : node->children) ApplyDown(c.get(), state);
}

void CTreeUI::SettleUp(TreeNode* node) {
  for (TreeNode* p = node->parent; p && p->parent; p = p->parent) {
    bool all = true, any = false;
    for (auto& c : p->children) {
      all = all && c->check == CheckState::Checked;
      any = any || c->check != CheckState::Unchecked;
    }
    p->check = all ? CheckState::Checked : (any ? CheckState::Partial : CheckState::Unchecked);
  }
}

void CTreeUI::SetCheck(TreeNode* node, bool checked, bool notify) {
  if (!node) return;
  ApplyDown(node, checked ? CheckState::Checked : CheckState::Unchecked);
  SettleUp(node);
  update();
  if (notify) Notify(QStringLiteral("checkboxselectchanged"), checked ? 1 : 0, node->name);
}

void CTreeUI::SetCheckState(TreeNode* node, CheckState state) {
  if (!node) return;
  node->check = state;
  SettleUp(node);
  update();
}

void CTreeUI::SelectNode(TreeNode* node, bool notify) {
  selected_ = node;
  update();
  if (notify && node) Notify(QStringLiteral("itemselect"), 0, node->name);
}

std::vector<TreeNode*> CTreeUI::VisibleNodes() {
  std::vector<TreeNode*> out;
  auto walk = [&](auto&& self, TreeNode* n) -> void {
    for (auto& c : n->children) {
      if (!c->visible) continue;
      out.push_back(c.get());
      if (c->expanded) self(self, c.get());
    }
  };
  walk(walk, &root_);
  return out;
}

int CTreeUI::Depth(const TreeNode* node) const {
  int depth = 0;
  for (const TreeNode* p = node->parent; p && p != &root_; p = p->parent) ++depth;
  return depth;
}

void CTreeUI::UpdateScroll() {
  const int content = static_cast<int>(VisibleNodes().size()) * itemHeight_;
  const int room = height();
  scroll_->setRange(0, std::max(0, content - room));
  scroll_->setPageStep(room);
  scroll_->setSingleStep(itemHeight_);
  scroll_->setVisible(content > room);
  scroll_->setGeometry(width() - 12, 0, 12, height());
}

void CTreeUI::resizeEvent(QResizeEvent*) {
  UpdateScroll();
}

void CTreeUI::wheelEvent(QWheelEvent* event) {
  scroll_->setValue(scroll_->value() - event->angleDelta().y() / 120 * itemHeight_ * 3);
}

void CTreeUI::PaintStatus(QPainter& painter) {
  const QFont font = EffectiveFont();
  painter.setFont(font);
  const QColor color = textColor_.isValid() ? textColor_ : QColor(0x33, 0x33, 0x33);
  const int right = scroll_->isVisible() ? width() - scroll_->width() : width();
  int y = -scroll_->value();
  for (TreeNode* node : VisibleNodes()) {
    if (y + itemHeight_ > 0 && y < height()) {
      const QRect row(0, y, right, itemHeight_);
      if (node == selected_) painter.fillRect(row, selectedBkColor_);
      int x = 4 + Depth(node) * indent_;
      const int midY = y + (itemHeight_ - kCheckSize) / 2;
      // Expander for nodes with children.
      if (!node->children.empty()) {
        const ImageDescriptor& e = node->expanded ? collapseImage_ : expandImage_;
        if (e.Empty()) {
          painter.setPen(QColor(0x80, 0x80, 0x80));
          painter.drawText(QRect(x, y, 12, itemHeight_), Qt::AlignCenter,
                           node->expanded ? QStringLiteral("\u25BE") : QStringLiteral("\u25B8"));
        } else {
          Draw(painter, e, QRect(x, midY, 12, kCheckSize));
        }
      }
      x += 14;
      const ImageDescriptor& box = node->check == CheckState::Checked   ? checkedImage_
                                   : node->check == CheckState::Partial ? partImage_
                                                                        : checkImage_;
      if (!box.Empty()) Draw(painter, box, QRect(x, midY, kCheckSize, kCheckSize));
      x += kCheckSize + 4;
      if (!node->icon.Empty()) {
        Draw(painter, node->icon, QRect(x, y + (itemHeight_ - 16) / 2, 16, 16));
        x += 20;
      }
      painter.setPen(color);
      painter.drawText(QRect(x, y, right - x - 2, itemHeight_), Qt::AlignLeft | Qt::AlignVCenter,
                       QFontMetrics(font).elidedText(node->text, Qt::ElideRight, right - x - 2));
    }
    y += itemHeight_;
  }
}

void CTreeUI::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return event->ignore();
  const QPoint pos = event->position().toPoint();
  const int index = (pos.y() + scroll_->value()) / itemHeight_;
  const auto nodes = VisibleNodes();
  if (pos.y() < 0 || index < 0 || index >= static_cast<int>(nodes.size())) return;
  TreeNode* node = nodes[static_cast<size_t>(index)];
  const int x = 4 + Depth(node) * indent_;
  if (pos.x() >= x && pos.x() < x + 14 && !node->children.empty()) {
    SetExpanded(node, !node->expanded);
  } else if (pos.x() >= x + 14 && pos.x() < x + 14 + kCheckSize + 2) {
    SetCheck(node, node->check != CheckState::Checked, true);
  } else {
    SelectNode(node);
  }
}

void CTreeUI::keyPressEvent(QKeyEvent* event) {
  const auto nodes = VisibleNodes();
  const auto at = std::find(nodes.begin(), nodes.end(), selected_);
  TreeNode* node = at == nodes.end() ? nullptr : *at;
  TreeNode* next = nullptr;
  switch (event->key()) {
    case Qt::Key_Down:
      next = at == nodes.end() ? (nodes.empty() ? nullptr : nodes.front())
                               : (at + 1 == nodes.end() ? node : *(at + 1));
      break;
    case Qt::Key_Up:
      next = at == nodes.end() || at == nodes.begin() ? (nodes.empty() ? nullptr : nodes.front()) : *(at - 1);
      break;
    case Qt::Key_Left:
      if (node != nullptr && node->expanded && !node->children.empty())
        SetExpanded(node, false);
      else if (node != nullptr && node->parent != &root_)
        next = node->parent;
      break;
    case Qt::Key_Right:
      if (node != nullptr && !node->children.empty()) SetExpanded(node, true);
      break;
    case Qt::Key_Space:
      if (node != nullptr) SetCheck(node, node->check != CheckState::Checked, true);
      break;
    default:
      CControlUI::keyPressEvent(event);
      return;
  }
  if (next != nullptr && next != node) {
    SelectNode(next);
    const auto shown = VisibleNodes();
    const int index = static_cast<int>(std::find(shown.begin(), shown.end(), next) - shown.begin());
    if (index * itemHeight_ < scroll_->value())
      scroll_->setValue(index * itemHeight_);
    else if ((index + 1) * itemHeight_ > scroll_->value() + height())
      scroll_->setValue((index + 1) * itemHeight_ - height());
  }
}

}  // namespace snapsave::ui
