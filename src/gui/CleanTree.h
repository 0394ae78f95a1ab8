// Trees with check boxes drawn as state images: tvCleanItems over the item catalogue, and a
// plain one for the registry sections. The check boxes are pictures only; what a click on
// one does is the window's rule (tvCleanItemsMouseDown), not the view's.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <functional>

#include "app/CheckTree.h"
#include "cleaner/CleanCatalogue.h"

namespace kestrove {

// Where a point lies on a node.
enum class TTreeHit { Nowhere, StateImage, Label, Elsewhere };

// A tree widget whose items show a check box picture (checked = state image 2) and tell
// where a point falls: on the picture, on the label's text, or elsewhere on the row.
class TStateImageTree : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TStateImageTree(QWidget* parent);

  TTreeHit HitTest(const QPoint& viewportPos, QTreeWidgetItem** item = nullptr) const;
  // In viewport coordinates; empty when the item is not shown.
  QRect StateImageRect(QTreeWidgetItem* item) const;
  QRect LabelRect(QTreeWidgetItem* item) const;

  static void SetStateImage(QTreeWidgetItem* item, bool checked);
  static bool StateImageChecked(const QTreeWidgetItem* item);

  // Called on every mouse press on the list (the second press of a double click too).
  std::function<void(QMouseEvent*)> OnMouseDown;
  // The tip of an item; by default, and when this gives nothing, the item's whole text when
  // its row shows it cut short.
  std::function<QString(QTreeWidgetItem*)> ItemToolTip;
  // Whether the row shows the item's text cut short (it ends in "...").
  bool TextElided(QTreeWidgetItem* item) const;

 protected:
  bool viewportEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  class TDelegate;
  void ItemOption(QTreeWidgetItem* item, QStyleOptionViewItem& option) const;
  TDelegate* delegate_;
};

// tvCleanItems: shows the catalogue and keeps the catalogue's expanded flags in step with
// what the user opens and closes.
class TCleanTreeView : public TStateImageTree {
  Q_OBJECT

 public:
  TCleanTreeView(TCleanCatalogue& catalogue, QWidget* parent);

  // Builds the items from the catalogue's nodes (after the catalogue changed shape).
  void Rebuild();
  // Check marks and expanded states from the catalogue.
  void RefreshStates();

  static TCatalogueNode* NodeOf(const QTreeWidgetItem* item);
  QTreeWidgetItem* ItemOf(const TCatalogueNode* node) const;

 private:
  TCleanCatalogue& catalogue_;
};

// The registry sections' tree as the settings store sees it: each item's image index is
// kept in its data.
class TTreeWidgetCheckTree : public ICheckTree {
 public:
  explicit TTreeWidgetCheckTree(QTreeWidget& tree) : tree_(tree) {}
  static void SetImageIndex(QTreeWidgetItem* item, int index);

  std::size_t TopCount() const override;
  Node Top(std::size_t index) const override;
  std::size_t ChildCount(Node node) const override;
  Node Child(Node node, std::size_t index) const override;
  std::string Text(Node node) const override;
  int ImageIndex(Node node) const override;
  bool Checked(Node node) const override;
  void SetChecked(Node node, bool checked) override;
  bool Expanded(Node node) const override;
  void SetExpanded(Node node, bool expanded) override;

 private:
  static QTreeWidgetItem* I(Node node) { return reinterpret_cast<QTreeWidgetItem*>(node); }
  QTreeWidget& tree_;
};

}  // namespace kestrove
