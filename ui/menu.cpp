#include "ui/menu.h"

#include <QPainter>

namespace snapsave::ui {

CMenuElementUI::CMenuElementUI(QWidget* parent) : CButtonUI(parent) {
  align_ = Qt::AlignLeft | Qt::AlignVCenter;
  textPadding_ = QMargins(30, 0, 16, 0);
  if (FixedHeight() == 0) SetFixedHeight(30);
}

bool CMenuElementUI::SetAttribute(const QString& name, const QString& value, QString* error) {
  if (name == QLatin1String("markimage")) return ParseImage(value, &markImage_, error);
  if (name == QLatin1String("arrowimage")) return ParseImage(value, &arrowImage_, error);
  if (name == QLatin1String("marked")) {
    auto b = ParseBool(value);
    if (!b) {
      if (error) *error = QStringLiteral("bad value '%1' for marked").arg(value);
      return false;
    }
    marked_ = *b;
    return true;
  }
  return CButtonUI::SetAttribute(name, value, error);
}

void CMenuElementUI::AddSubItem(const QString& name, const QString& text, bool marked) {
  subItems_.push_back({name, text, marked});
  update();
}

void CMenuElementUI::CopyLook(const CMenuElementUI& from) {
  normalImage_ = from.normalImage_;
  hotImage_ = from.hotImage_;
  pushedImage_ = from.pushedImage_;
  markImage_ = from.markImage_;
  hotTextColor_ = from.hotTextColor_;
  textColor_ = from.textColor_;
  bkColor_ = from.bkColor_;
  font_ = from.font_;
  textPadding_ = from.textPadding_;
  align_ = from.align_;
  SetFixedHeight(from.FixedHeight());
}

void CMenuElementUI::SetMarked(bool marked) {
  marked_ = marked;
  update();
}

void CMenuElementUI::PaintStatus(QPainter& painter) {
  CButtonUI::PaintStatus(painter);
  if (marked_ && !markImage_.Empty()) {
    ImageDescriptor mark = markImage_;
    const QRect at = mark.dest ? *mark.dest : QRect(9, (height() - 12) / 2, 12, 12);
    mark.dest.reset();
    Draw(painter, mark, at);
  }
  if (!subItems_.empty()) {
    painter.setPen(TextColor().isValid() ? TextColor() : QColor(0x55, 0x55, 0x55));
    painter.setFont(EffectiveFont());
    painter.drawText(QRect(width() - 18, 0, 12, height()), Qt::AlignCenter, QStringLiteral("\u203A"));
  }
}

CMenuWnd::CMenuWnd(CWindowUI* owner)
    : CWindowUI(owner, Qt::Popup | Qt::NoDropShadowWindowHint), owner_(owner) {
  setAttribute(Qt::WA_DeleteOnClose);
}

CControlUI* CMenuWnd::CreateControl(const QString&) {
  return nullptr;
}

bool CMenuWnd::Open(const QString& layout, const QPoint& globalPos, QString* error) {
  layout_ = layout;
  if (!LoadLayout(layout, error)) return false;
  move(globalPos);
  show();
  return true;
}

void CMenuWnd::Notify(const TNotifyUI& msg) {
  if (msg.type != QLatin1String("click")) return;
  auto* item = dynamic_cast<CMenuElementUI*>(msg.sender);
  if (!item) return;
  if (!item->SubItems().empty()) {
    OpenSubMenu(item);
    return;
  }
  // Close first: the owner may open a modal box in response.
  QPointer<CWindowUI> owner = owner_;
  TNotifyUI forward = msg;
  forward.type = QStringLiteral("itemclick");
  forward.sender = nullptr;
  CloseChain();
  if (owner) owner->Notify(forward);
}

void CMenuWnd::OpenSubMenu(CMenuElementUI* item) {
  if (subMenu_) subMenu_->close();
  auto* sub = new CMenuWnd(owner_);
  sub->parentMenu_ = this;
  subMenu_ = sub;
  // The submenu reuses this menu's layout frame, with the parent item's sub-items as its only entries.
  QString error;
  if (!sub->LoadLayout(layout_, &error)) {
    sub->deleteLater();
    return;
  }
  auto* container = dynamic_cast<CContainerUI*>(sub->Root());
  if (!container) return;
  // The items of the layout make way for the sub-items, which take the chosen item's look.
  CContainerUI* list = container;
  for (CControlUI* c : container->Items())
    if (auto* inner = dynamic_cast<CContainerUI*>(c)) list = inner;
  list->RemoveAll();
  int height = 0;
  for (const auto& subItem : item->SubItems()) {
    auto* e = new CMenuElementUI(list);
    e->CopyLook(*item);
    e->SetName(subItem.name);
    e->SetText(subItem.text);
    e->SetMarked(subItem.marked);
    list->Add(e);
    height += e->FixedHeight();
  }
  sub->resize(width(), height + (this->height() - MenuItemsHeight()));
  sub->move(item->mapToGlobal(QPoint(item->width(), 0)));
  sub->show();
}

int CMenuWnd::MenuItemsHeight() const {
  int total = 0;
  std::vector<const QObject*> pending{this};
  while (!pending.empty()) {
    const QObject* o = pending.back();
    pending.pop_back();
    if (auto* e = dynamic_cast<const CMenuElementUI*>(o)) {
      if (!e->isHidden()) total += e->FixedHeight();
      continue;
    }
    for (const QObject* child : o->children()) pending.push_back(child);
  }
  return total;
}

void CMenuWnd::CloseChain() {
  CMenuWnd* top = this;
  while (top->parentMenu_) top = top->parentMenu_;
  for (CMenuWnd* m = top; m;) {
    CMenuWnd* next = m->subMenu_;
    m->close();
    m = next;
  }
}

}  // namespace snapsave::ui
