// The controls that layouts are built from. Each is a QWidget that paints itself from skin images, so that a
// layout alone decides the look. Names tie a control to its window's code and to the language table.
#pragma once

#include <QColor>
#include <QMargins>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <optional>
#include <vector>

#include "ui/image_descriptor.h"

class QLineEdit;
class QTextEdit;

namespace snapsave::ui {

class CWindowUI;

class CControlUI : public QWidget {
 public:
  explicit CControlUI(QWidget* parent = nullptr);

  QString Name() const { return name_; }
  void SetName(const QString& name) { name_ = name; }
  QString Text() const { return text_; }
  virtual void SetText(const QString& text);
  QString UserData() const { return userData_; }
  void SetUserData(const QString& userData) { userData_ = userData; }
  QVariant Tag() const { return tag_; }
  void SetTag(const QVariant& tag) { tag_ = tag; }

  void SetBkColor(const QColor& color);
  void SetTextColor(const QColor& color);
  QColor TextColor() const { return textColor_; }
  // Image setters take a descriptor; false when it is malformed or names an image the skin does not have.
  bool SetBkImage(const QString& descriptor);
  bool SetForeImage(const QString& descriptor);
  void SetFont(int id);
  void SetPadding(const QMargins& padding);
  QMargins Padding() const { return padding_; }
  // 0 means "share what is left" in the parent layout.
  void SetFixedWidth(int width);
  void SetFixedHeight(int height);
  int FixedWidth() const { return fixedWidth_; }
  // The width that shows the text whole: its advance in the control's font and the text padding.
  int TextWidthWhole() const;
  int FixedHeight() const { return fixedHeight_; }

  void setVisible(bool visible) override;
  bool IsVisible() const { return !isHidden(); }

  // Applies one layout attribute; false with a reason for an unknown attribute or a bad value.
  virtual bool SetAttribute(const QString& name, const QString& value, QString* error);
  // Whether a press on this control starts dragging the window when it lies in the caption band.
  virtual bool BlocksCaptionDrag() const { return false; }

  CWindowUI* Window() const;
  void Notify(const QString& type, qint64 wParam = 0, const QVariant& lParam = {});

 protected:
  void paintEvent(QPaintEvent* event) override;
  // A text cut at its end shows whole as the tool tip, unless the layout gave one.
  bool event(QEvent* event) override;
  virtual void PaintBackground(QPainter& painter);
  virtual void PaintStatus(QPainter& painter);
  virtual void PaintText(QPainter& painter);
  QFont EffectiveFont() const;
  QFont FontById(int id) const;
  QRect TextRect() const { return rect().marginsRemoved(textPadding_); }
  bool Draw(QPainter& painter, const ImageDescriptor& image, const QRect& bounds);
  bool Draw(QPainter& painter, const ImageDescriptor& image) { return Draw(painter, image, rect()); }
  // Parses an image attribute and checks the skin has the file.
  static bool ParseImage(const QString& value, ImageDescriptor* out, QString* error);
  void DrawTextIn(QPainter& painter, const QRect& r, const QString& text, const QColor& color);
  void RelayoutParent();

  QString name_;
  QString text_;
  QString userData_;
  QVariant tag_;
  QColor bkColor_;
  QColor borderColor_;
  int borderSize_ = 0;
  int borderRound_ = 0;
  QColor textColor_;
  QColor disabledTextColor_;
  ImageDescriptor bkImage_;
  ImageDescriptor foreImage_;
  int font_ = -1;
  QMargins padding_;
  QMargins textPadding_;
  int fixedWidth_ = 0;
  int fixedHeight_ = 0;
  Qt::Alignment align_ = Qt::AlignLeft | Qt::AlignVCenter;
  bool endEllipsis_ = false;
  bool wordWrap_ = false;
};

class CLabelUI : public CControlUI {
 public:
  using CControlUI::CControlUI;
};

// Multi-line text that wraps; it holds the pointer, so it never drags the window.
class CTextUI : public CControlUI {
 public:
  explicit CTextUI(QWidget* parent = nullptr);
  bool BlocksCaptionDrag() const override { return true; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

class CButtonUI : public CControlUI {
 public:
  explicit CButtonUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  bool BlocksCaptionDrag() const override { return true; }
  bool SetNormalImage(const QString& descriptor) {
    return ParseImage(descriptor, &normalImage_, nullptr) && Repaint();
  }
  bool SetHotImage(const QString& descriptor) {
    return ParseImage(descriptor, &hotImage_, nullptr) && Repaint();
  }
  bool IsHot() const { return hot_; }

 protected:
  virtual void Activate();  // a completed click
  void PaintStatus(QPainter& painter) override;
  void PaintText(QPainter& painter) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool Repaint() {
    update();
    return true;
  }

  ImageDescriptor normalImage_, hotImage_, pushedImage_, disabledImage_, hotForeImage_;
  QColor hotTextColor_, pushedTextColor_;
  bool hot_ = false;
  bool pushed_ = false;
};

// A button with a selected state; options sharing a group are mutually exclusive.
class COptionUI : public CButtonUI {
 public:
  explicit COptionUI(QWidget* parent = nullptr);
  ~COptionUI() override;
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  bool IsSelected() const { return selected_; }
  // Raises "selectchanged" when the state changes and `notify` is set.
  void Selected(bool selected, bool notify = true);
  QString Group() const { return group_; }
  void SetGroup(const QString& group) { group_ = group; }

 protected:
  void Activate() override;
  void PaintStatus(QPainter& painter) override;
  void PaintText(QPainter& painter) override;

  QString group_;
  bool selected_ = false;
  ImageDescriptor selectedImage_, selectedHotImage_, selectedForeImage_;
  QColor selectedTextColor_;
};

class CCheckBoxUI : public COptionUI {
 public:
  using COptionUI::COptionUI;
  bool GetCheck() const { return IsSelected(); }
  void SetCheck(bool check, bool notify = true) { Selected(check, notify); }
};

class CProgressUI : public CControlUI {
 public:
  using CControlUI::CControlUI;
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  void SetValue(int value);
  int Value() const { return value_; }
  void SetRange(int min, int max);

 protected:
  void PaintStatus(QPainter& painter) override;

  int min_ = 0, max_ = 100, value_ = 0;
  QColor foreColor_;
};

// A read-only rich-text box; pictures go inline into its document.
class CRichEditUI : public CControlUI {
 public:
  explicit CRichEditUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  void SetText(const QString& text) override;
  void Clear();
  // One paragraph, centred, replacing the content.
  void ShowCentredText(const QString& text);
  // False (and nothing inserted) when the image cannot be decoded.
  bool InsertImage(const QImage& image);
  // Appends `text` as left-aligned lines, in a fixed-width font when `fixed`, after what the box shows.
  void AppendBlock(const QString& text, bool fixed);
  // How many characters of the fixed-width font a line of the box holds.
  int FixedColumns() const;
  QTextEdit* Editor() const { return edit_; }
  QString PlainContent() const;
  bool BlocksCaptionDrag() const override { return true; }
  // With "fitcontent", the box is as high as its text at its width, up to half its parent, so that short
  // facts show whole without a scroll bar.
  void FitHeight();

 protected:
  void resizeEvent(QResizeEvent* event) override;

  QTextEdit* edit_;
  bool fitContent_ = false;
};

// A one-line text field. Each change of its text says "textchanged" to the window; "tip" is the grey text
// shown while it is empty.
class CEditUI : public CControlUI {
 public:
  explicit CEditUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  void SetText(const QString& text) override;
  QLineEdit* Editor() const { return edit_; }
  bool BlocksCaptionDrag() const override { return true; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void PaintText(QPainter&) override {}  // the field shows the text

  QLineEdit* edit_;
};

class CContainerUI : public CControlUI {
 public:
  using CControlUI::CControlUI;
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  void Add(CControlUI* child);
  void AddAt(CControlUI* child, int index);
  // Deletes the child.
  void Remove(CControlUI* child);
  void RemoveAll();
  const std::vector<CControlUI*>& Items() const { return items_; }
  int IndexOf(const CControlUI* child) const;
  void SetInset(const QMargins& inset);
  QMargins Inset() const { return inset_; }
  int ChildPadding() const { return childPadding_; }
  void SetChildPadding(int padding);
  // Places the children; called on resize and whenever a child changes size or visibility.
  virtual void DoLayout();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void LayoutAlong(bool vertical);

  std::vector<CControlUI*> items_;
  QMargins inset_;
  int childPadding_ = 0;
};

// A bar the user drags to set the width of the pane beside it ("target": next or prev) in a horizontal
// layout. The pane keeps the width it was given or dragged to while the stretching siblings keep "restmin"
// pixels; when the window is narrower, the pane gives way down to "minsize" first.
class CSplitterUI : public CControlUI {
 public:
  explicit CSplitterUI(QWidget* parent = nullptr);
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  bool BlocksCaptionDrag() const override { return true; }
  CControlUI* Target() const;
  // The width the user chose (or the layout's), which the pane takes back when there is room.
  int PreferredWidth() const { return preferred_; }
  void SetPreferredWidth(int width);
  // Gives the pane its width for the parent's current size.
  void Fit();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // The widest the pane may be in the parent's current size.
  int Room() const;

  bool targetNext_ = true;
  int minSize_ = 120;
  int restMin_ = 200;
  int preferred_ = 0;
  int pressX_ = 0;
  int pressWidth_ = 0;
  bool dragging_ = false;
};

class CVerticalLayoutUI : public CContainerUI {
 public:
  using CContainerUI::CContainerUI;
  void DoLayout() override { LayoutAlong(true); }
};

class CHorizontalLayoutUI : public CContainerUI {
 public:
  using CContainerUI::CContainerUI;
  void DoLayout() override { LayoutAlong(false); }
};

// Shows one child at a time, filling the container.
class CTabLayoutUI : public CContainerUI {
 public:
  using CContainerUI::CContainerUI;
  bool SetAttribute(const QString& name, const QString& value, QString* error) override;
  bool SelectItem(int index);
  int CurrentIndex() const { return current_; }
  void DoLayout() override;

 private:
  int current_ = 0;
};

// Colour parsing for layouts: "#RRGGBB" or "#AARRGGBB".
std::optional<QColor> ParseColor(const QString& text);
std::optional<bool> ParseBool(const QString& text);

}  // namespace snapsave::ui
