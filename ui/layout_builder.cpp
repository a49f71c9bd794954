#include "ui/layout_builder.h"

#include <QXmlStreamReader>

#include <memory>

#include "ui/controls.h"
#include "ui/list.h"
#include "ui/menu.h"
#include "ui/skin_archive.h"
#include "ui/tree.h"
#include "ui/window.h"

namespace snapsave::ui {
namespace {

// Includes nest a few levels in practice; the bound stops cycles and runaway skins.
constexpr int kMaxIncludeDepth = 8;

bool IsContainer(const CControlUI* c) {
  return dynamic_cast<const CContainerUI*>(c) != nullptr;
}

}  // namespace

bool LayoutBuilder::Error(const QXmlStreamReader& xml, const QString& why) {
  if (error_.isEmpty())
    error_ = QStringLiteral("%1:%2: %3")
                 .arg(files_.isEmpty() ? QString() : files_.back())
                 .arg(xml.lineNumber())
                 .arg(why);
  return false;
}

CControlUI* LayoutBuilder::Build(const QString& path, QString* error) {
  error_.clear();
  files_.clear();
  CControlUI* root = nullptr;
  bool ok = false;
  if (!skin_.Contains(path)) {
    error_ = QStringLiteral("layout '%1' is not in the skin").arg(path);
  } else {
    files_.push_back(path);
    QXmlStreamReader xml(skin_.Entry(path));
    if (xml.readNextStartElement()) {
      if (xml.name() == QLatin1String("Window"))
        ok = ParseWindow(xml, &root);
      else
        Error(xml, QStringLiteral("the root element must be <Window>, not <%1>").arg(xml.name()));
    }
    if (ok && xml.hasError()) ok = Error(xml, xml.errorString());
    if (!ok && error_.isEmpty())
      Error(xml, xml.hasError() ? xml.errorString() : QStringLiteral("empty layout"));
    if (ok && !root) ok = Error(xml, QStringLiteral("<Window> holds no control"));
  }
  if (!ok) {
    delete root;
    if (error) *error = error_;
    return nullptr;
  }
  return root;
}

bool LayoutBuilder::ParseWindow(QXmlStreamReader& xml, CControlUI** root) {
  for (const QXmlStreamAttribute& a : xml.attributes()) {
    QString why;
    if (!window_->SetAttribute(a.name().toString(), a.value().toString(), &why))
      return Error(xml, QStringLiteral("<Window>: %1").arg(why));
  }
  while (xml.readNextStartElement()) {
    if (xml.name() == QLatin1String("Font")) {
      if (!ParseFont(xml)) return false;
      continue;
    }
    if (*root) return Error(xml, QStringLiteral("<Window> holds more than one root control"));
    if (!ParseElement(xml, window_, root)) return false;
  }
  return !xml.hasError() || Error(xml, xml.errorString());
}

bool LayoutBuilder::ParseFont(QXmlStreamReader& xml) {
  QFont font;
  int id = -1;
  bool isDefault = false;
  font.setPixelSize(12);
  for (const QXmlStreamAttribute& a : xml.attributes()) {
    const QString name = a.name().toString();
    const QString value = a.value().toString();
    bool ok = true;
    if (name == QLatin1String("id")) {
      id = value.toInt(&ok);
      ok = ok && id >= 0;
    } else if (name == QLatin1String("name")) {
      font.setFamily(value);
    } else if (name == QLatin1String("size")) {
      const int size = value.toInt(&ok);
      ok = ok && size > 0 && size < 200;
      if (ok) font.setPixelSize(size);
    } else if (name == QLatin1String("bold") || name == QLatin1String("underline") ||
               name == QLatin1String("italic") || name == QLatin1String("default")) {
      auto b = ParseBool(value);
      ok = b.has_value();
      if (ok && name == QLatin1String("bold")) font.setBold(*b);
      if (ok && name == QLatin1String("underline")) font.setUnderline(*b);
      if (ok && name == QLatin1String("italic")) font.setItalic(*b);
      if (ok && name == QLatin1String("default")) isDefault = *b;
    } else {
      return Error(xml, QStringLiteral("<Font>: unknown attribute '%1'").arg(name));
    }
    if (!ok) return Error(xml, QStringLiteral("<Font>: bad value '%1' for %2").arg(value, name));
  }
  if (id < 0) return Error(xml, QStringLiteral("<Font> needs an id"));
  window_->AddFont(id, font, isDefault);
  xml.skipCurrentElement();
  return true;
}

CControlUI* LayoutBuilder::Create(const QString& e, QWidget* parent) {
  if (CControlUI* custom = window_->CreateControl(e)) {
    custom->setParent(parent);
    return custom;
  }
  if (e == QLatin1String("Control")) return new CControlUI(parent);
  if (e == QLatin1String("Container")) return new CContainerUI(parent);
  if (e == QLatin1String("VerticalLayout")) return new CVerticalLayoutUI(parent);
  if (e == QLatin1String("HorizontalLayout")) return new CHorizontalLayoutUI(parent);
  if (e == QLatin1String("TabLayout")) return new CTabLayoutUI(parent);
  if (e == QLatin1String("Label")) return new CLabelUI(parent);
  if (e == QLatin1String("Text")) return new CTextUI(parent);
  if (e == QLatin1String("Button")) return new CButtonUI(parent);
  if (e == QLatin1String("Option")) return new COptionUI(parent);
  if (e == QLatin1String("CheckBox")) return new CCheckBoxUI(parent);
  if (e == QLatin1String("Progress")) return new CProgressUI(parent);
  if (e == QLatin1String("RichEdit")) return new CRichEditUI(parent);
  if (e == QLatin1String("Edit")) return new CEditUI(parent);
  if (e == QLatin1String("Splitter")) return new CSplitterUI(parent);
  if (e == QLatin1String("List")) return new CListUI(parent);
  if (e == QLatin1String("ListHeader")) return new CListHeaderUI(parent);
  if (e == QLatin1String("ListHeaderItem")) return new CListHeaderItemUI(parent);
  if (e == QLatin1String("Tree")) return new CTreeUI(parent);
  if (e == QLatin1String("MenuElement")) return new CMenuElementUI(parent);
  return nullptr;
}

bool LayoutBuilder::ParseElement(QXmlStreamReader& xml, QWidget* parent, CControlUI** created) {
  const QString element = xml.name().toString();
  if (element == QLatin1String("Include")) return ParseInclude(xml, parent, created);
  std::unique_ptr<CControlUI> control(Create(element, parent));
  if (!control) return Error(xml, QStringLiteral("unknown element <%1>").arg(element));
  for (const QXmlStreamAttribute& a : xml.attributes()) {
    QString why;
    if (!control->SetAttribute(a.name().toString(), a.value().toString(), &why))
      return Error(xml, QStringLiteral("<%1>: %2").arg(element, why));
  }
  if (!ParseChildren(xml, control.get())) return false;
  *created = control.release();
  return true;
}

bool LayoutBuilder::ParseChildren(QXmlStreamReader& xml, CControlUI* control) {
  auto* tree = dynamic_cast<CTreeUI*>(control);
  auto* list = dynamic_cast<CListUI*>(control);
  auto* menuItem = dynamic_cast<CMenuElementUI*>(control);
  while (xml.readNextStartElement()) {
    const QString child = xml.name().toString();
    if (tree) {
      if (child != QLatin1String("TreeNode"))
        return Error(xml, QStringLiteral("<Tree> holds only <TreeNode>"));
      if (!ParseTreeNode(xml, tree, tree->Root())) return false;
      continue;
    }
    if (menuItem) {
      // Nested items become the item's submenu.
      if (child != QLatin1String("MenuElement"))
        return Error(xml, QStringLiteral("<MenuElement> holds only <MenuElement>"));
      const auto attrs = xml.attributes();
      menuItem->AddSubItem(attrs.value(QLatin1String("name")).toString(),
                           attrs.value(QLatin1String("text")).toString(), false);
      xml.skipCurrentElement();
      continue;
    }
    if (!IsContainer(control))
      return Error(xml, QStringLiteral("<%1> cannot hold <%2>").arg(xml.name()).arg(child));
    CControlUI* created = nullptr;
    if (!ParseElement(xml, control, &created)) return false;
    if (list) {
      auto* header = dynamic_cast<CListHeaderUI*>(created);
      if (!header) {
        delete created;
        return Error(xml, QStringLiteral("<List> holds only a <ListHeader>"));
      }
      list->SetHeader(header);
    } else {
      static_cast<CContainerUI*>(control)->Add(created);
    }
  }
  return !xml.hasError() || Error(xml, xml.errorString());
}

bool LayoutBuilder::ParseTreeNode(QXmlStreamReader& xml, CTreeUI* tree, TreeNode* parent) {
  TreeNode* node = tree->AddNode(parent, QString(), QString());
  for (const QXmlStreamAttribute& a : xml.attributes()) {
    const QString name = a.name().toString();
    const QString value = a.value().toString();
    if (name == QLatin1String("name")) {
      node->name = value;
    } else if (name == QLatin1String("text")) {
      node->text = value;
    } else if (name == QLatin1String("style")) {
      node->style = value;
    } else if (name == QLatin1String("icon")) {
      QString why;
      auto d = ParseImageDescriptor(value, &why);
      if (!d) return Error(xml, QStringLiteral("<TreeNode>: %1").arg(why));
      if (!d->Empty() && !skin_.Contains(d->file))
        return Error(xml, QStringLiteral("<TreeNode>: image '%1' is not in the skin").arg(d->file));
      node->icon = *d;
    } else if (name == QLatin1String("visible") || name == QLatin1String("expanded") ||
               name == QLatin1String("checked")) {
      auto b = ParseBool(value);
      if (!b) return Error(xml, QStringLiteral("<TreeNode>: bad value '%1' for %2").arg(value, name));
      if (name == QLatin1String("visible"))
        node->visible = *b;
      else if (name == QLatin1String("expanded"))
        node->expanded = *b;
      else
        node->check = *b ? CheckState::Checked : CheckState::Unchecked;
    } else {
      return Error(xml, QStringLiteral("<TreeNode>: unknown attribute '%1'").arg(name));
    }
  }
  while (xml.readNextStartElement()) {
    if (xml.name() != QLatin1String("TreeNode"))
      return Error(xml, QStringLiteral("<TreeNode> holds only <TreeNode>"));
    if (!ParseTreeNode(xml, tree, node)) return false;
  }
  return !xml.hasError() || Error(xml, xml.errorString());
}

bool LayoutBuilder::ParseInclude(QXmlStreamReader& xml, QWidget* parent, CControlUI** created) {
  const QString source = xml.attributes().value(QLatin1String("source")).toString();
  if (source.isEmpty()) return Error(xml, QStringLiteral("<Include> needs a source"));
  for (const QXmlStreamAttribute& a : xml.attributes())
    if (a.name() != QLatin1String("source"))
      return Error(xml, QStringLiteral("<Include>: unknown attribute '%1'").arg(a.name()));
  if (!skin_.Contains(source))
    return Error(xml, QStringLiteral("included layout '%1' is not in the skin").arg(source));
  if (files_.size() >= kMaxIncludeDepth || files_.contains(source, Qt::CaseInsensitive))
    return Error(xml, QStringLiteral("include of '%1' loops or nests too deep").arg(source));
  files_.push_back(source);
  QXmlStreamReader inner(skin_.Entry(source));
  bool ok = false;
  if (inner.readNextStartElement()) {
    ok = ParseElement(inner, parent, created);
    while (ok && !inner.atEnd() && !inner.hasError()) {
      if (inner.readNext() == QXmlStreamReader::StartElement) {
        delete *created;
        *created = nullptr;
        ok = Error(inner, QStringLiteral("an included layout holds one root control"));
      }
    }
  }
  if (!ok && error_.isEmpty())
    Error(inner, inner.hasError() ? inner.errorString() : QStringLiteral("empty layout"));
  if (ok && inner.hasError()) {
    delete *created;
    *created = nullptr;
    ok = Error(inner, inner.errorString());
  }
  files_.pop_back();
  xml.skipCurrentElement();
  return ok;
}

}  // namespace snapsave::ui
