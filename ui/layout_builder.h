// Builds a window's controls from an XML layout of the skin. See skin/README.md for the vocabulary.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;
class QXmlStreamReader;

namespace snapsave::ui {

class CControlUI;
class CContainerUI;
class CWindowUI;
class SkinArchive;
struct TreeNode;
class CTreeUI;

class LayoutBuilder {
 public:
  LayoutBuilder(const SkinArchive& skin, CWindowUI* window) : skin_(skin), window_(window) {}

  // Applies the <Window> attributes and fonts, and returns the root control (a child of the window), or
  // nullptr with "file:line: reason" in `error`. A failed build leaves no controls behind.
  CControlUI* Build(const QString& path, QString* error);

 private:
  bool ParseWindow(QXmlStreamReader& xml, CControlUI** root);
  bool ParseFont(QXmlStreamReader& xml);
  // Parses the element the reader is on (and its children) into `parent`.
  bool ParseElement(QXmlStreamReader& xml, QWidget* parent, CControlUI** created);
  bool ParseInclude(QXmlStreamReader& xml, QWidget* parent, CControlUI** created);
  bool ParseTreeNode(QXmlStreamReader& xml, CTreeUI* tree, TreeNode* parent);
  bool ParseChildren(QXmlStreamReader& xml, CControlUI* control);
  CControlUI* Create(const QString& element, QWidget* parent);
  bool Error(const QXmlStreamReader& xml, const QString& why);

  const SkinArchive& skin_;
  CWindowUI* window_;
  QStringList files_;  // include stack, innermost last
  QString error_;
};

}  // namespace snapsave::ui
