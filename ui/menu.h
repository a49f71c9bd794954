// Pop-up menus built from a layout whose items are MenuElement controls. Choosing an item sends "itemclick"
// with the item's name to the owner window; an item with sub-items opens them beside it instead.
#pragma once

#include <QPointer>

#include "ui/controls.h"
#include "ui/window.h"

namespace snapsave::ui {

class CMenuElementUI : public CButtonUI {
 public:
  explicit CMenuElementUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  // Sub-items are data, shown in a submenu when the item is chosen.
  struct SubItem {
    QString name;
    QString text;
    bool marked = false;
  };
  void AddSubItem(const QString& name, const QString& text, bool marked);
  void ClearSubItems() { subItems_.clear(); }
  const std::vector<SubItem>& SubItems() const { return subItems_; }
  bool IsMarked() const { return marked_; }
  // Takes over another item's images, colours, font and height; submenus look like their parent menu.
  void CopyLook(const CMenuElementUI& from);
  void SetMarked(bool marked);

 protected:
  void PaintStatus(QPainter& painter) override;

 private:
  std::vector<SubItem> subItems_;
  bool marked_ = false;
  ImageDescriptor markImage_;
  ImageDescriptor arrowImage_;
};

class CMenuWnd : public CWindowUI {
 public:
  explicit CMenuWnd(CWindowUI* owner);
  // Loads the layout and shows the menu with its top-left corner at `globalPos`.
  bool Open(const QString& layout, const QPoint& globalPos, QString* error = nullptr);
  CMenuElementUI* Element(const QString& name) const { return Find<CMenuElementUI>(name); }
  void Notify(const TNotifyUI& msg) override;
  CControlUI* CreateControl(const QString& element) override;

 private:
  void OpenSubMenu(CMenuElementUI* item);
  void CloseChain();
  int MenuItemsHeight() const;

  QPointer<CWindowUI> owner_;
  QPointer<CMenuWnd> parentMenu_;
  QPointer<CMenuWnd> subMenu_;
  QString layout_;
};

}  // namespace snapsave::ui
