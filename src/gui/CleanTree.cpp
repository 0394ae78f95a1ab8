#include "gui/CleanTree.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QToolTip>
#include <algorithm>

namespace kestrove {

namespace {
constexpr int kNodeRole = Qt::UserRole + 1;
constexpr int kImageIndexRole = Qt::UserRole + 2;
}  // namespace

// Gives the view the option the delegate paints with, so that hit tests use the very
// rectangles that are drawn.
class TStateImageTree::TDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void Init(QStyleOptionViewItem* option, const QModelIndex& index) const { initStyleOption(option, index); }
};

TStateImageTree::TStateImageTree(QWidget* parent) : QTreeWidget(parent), delegate_(new TDelegate(this)) {
  setItemDelegate(delegate_);
  setHeaderHidden(true);
  setColumnCount(1);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setIndentation(14);
  // The tree keeps its width: a long name ends in "..." where it is cut, and its tip shows
  // it whole.
  setTextElideMode(Qt::ElideRight);
  header()->setStretchLastSection(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

bool TStateImageTree::TextElided(QTreeWidgetItem* item) const {
  if (!item || visualItemRect(item).isEmpty()) return false;
  QStyleOptionViewItem option;
  ItemOption(item, option);
  const QRect text = style()->subElementRect(QStyle::SE_ItemViewItemText, &option, this);
  const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
  return option.fontMetrics.horizontalAdvance(item->text(0)) > text.width() - 2 * margin;
}

bool TStateImageTree::viewportEvent(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QTreeWidget::viewportEvent(event);
  auto* help = static_cast<QHelpEvent*>(event);
  QTreeWidgetItem* item = itemAt(help->pos());
  QString tip = item && ItemToolTip ? ItemToolTip(item) : QString();
  if (tip.isEmpty() && TextElided(item)) tip = item->text(0);
  if (tip.isEmpty()) {
    QToolTip::hideText();
    event->ignore();
  } else {
    QToolTip::showText(help->globalPos(), tip, viewport(), visualItemRect(item));
  }
  return true;
}

void TStateImageTree::SetStateImage(QTreeWidgetItem* item, bool checked) {
  // Not user-checkable: the view must not toggle the box by itself.
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  item->setData(0, Qt::CheckStateRole, checked ? Qt::Checked : Qt::Unchecked);
}

bool TStateImageTree::StateImageChecked(const QTreeWidgetItem* item) {
  return item->data(0, Qt::CheckStateRole).toInt() == Qt::Checked;
}

void TStateImageTree::ItemOption(QTreeWidgetItem* item, QStyleOptionViewItem& option) const {
  const QModelIndex index = indexFromItem(item);
  initViewItemOption(&option);
  option.rect = visualRect(index);
  delegate_->Init(&option, index);
}

QRect TStateImageTree::StateImageRect(QTreeWidgetItem* item) const {
  if (!item || visualItemRect(item).isEmpty()) return {};
  QStyleOptionViewItem option;
  ItemOption(item, option);
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

QRect TStateImageTree::LabelRect(QTreeWidgetItem* item) const {
  if (!item || visualItemRect(item).isEmpty()) return {};
  QStyleOptionViewItem option;
  ItemOption(item, option);
  QRect text = style()->subElementRect(QStyle::SE_ItemViewItemText, &option, this);
  // The label is the text itself, not the rest of the row.
  const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
  text.setWidth(std::min(text.width(), option.fontMetrics.horizontalAdvance(item->text(0)) + 2 * margin));
  return text;
}

TTreeHit TStateImageTree::HitTest(const QPoint& pos, QTreeWidgetItem** hitItem) const {
  QTreeWidgetItem* item = itemAt(pos);
  if (hitItem) *hitItem = item;
  if (!item) return TTreeHit::Nowhere;
  if (StateImageRect(item).contains(pos)) return TTreeHit::StateImage;
  if (LabelRect(item).contains(pos)) return TTreeHit::Label;
  return TTreeHit::Elsewhere;
}

void TStateImageTree::mousePressEvent(QMouseEvent* event) {
  if (OnMouseDown) OnMouseDown(event);
  QTreeWidget::mousePressEvent(event);
}

void TStateImageTree::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click came as a press of its own (and toggled a check box
  // there): a double click on a check box does not also open or close the node.
  if (HitTest(event->position().toPoint()) == TTreeHit::StateImage) return;
  QTreeWidget::mouseDoubleClickEvent(event);
}

TCleanTreeView::TCleanTreeView(TCleanCatalogue& catalogue, QWidget* parent)
    : TStateImageTree(parent), catalogue_(catalogue) {
  connect(this, &QTreeWidget::itemExpanded, this, [](QTreeWidgetItem* item) {
    if (TCatalogueNode* node = NodeOf(item)) node->Expanded = true;
  });
  connect(this, &QTreeWidget::itemCollapsed, this, [](QTreeWidgetItem* item) {
    if (TCatalogueNode* node = NodeOf(item)) node->Expanded = false;
  });
  Rebuild();
}

TCatalogueNode* TCleanTreeView::NodeOf(const QTreeWidgetItem* item) {
  return item ? reinterpret_cast<TCatalogueNode*>(item->data(0, kNodeRole).value<quintptr>()) : nullptr;
}

QTreeWidgetItem* TCleanTreeView::ItemOf(const TCatalogueNode* node) const {
  for (QTreeWidgetItemIterator it(const_cast<TCleanTreeView*>(this)); *it; ++it)
    if (NodeOf(*it) == node) return *it;
  return nullptr;
}

void TCleanTreeView::Rebuild() {
  clear();
  // Expanding while building would mark the catalogue's nodes expanded.
  const QSignalBlocker blocker(this);
  for (const auto& category : catalogue_.Categories()) {
    auto* top = new QTreeWidgetItem(this, QStringList(QString::fromStdString(category->Text)));
    top->setData(0, kNodeRole, QVariant::fromValue(reinterpret_cast<quintptr>(category.get())));
    SetStateImage(top, category->StateIndex == kStateChecked);
    for (const auto& child : category->Children) {
      auto* item = new QTreeWidgetItem(top, QStringList(QString::fromStdString(child->Text)));
      item->setData(0, kNodeRole, QVariant::fromValue(reinterpret_cast<quintptr>(child.get())));
      SetStateImage(item, child->StateIndex == kStateChecked);
    }
  }
  RefreshStates();
}

void TCleanTreeView::RefreshStates() {
  const QSignalBlocker blocker(this);
  for (QTreeWidgetItemIterator it(this); *it; ++it) {
    const TCatalogueNode* node = NodeOf(*it);
    if (!node) continue;
    if (StateImageChecked(*it) != (node->StateIndex == kStateChecked))
      SetStateImage(*it, node->StateIndex == kStateChecked);
    if ((*it)->childCount() > 0 && (*it)->isExpanded() != node->Expanded) (*it)->setExpanded(node->Expanded);
  }
}

void TTreeWidgetCheckTree::SetImageIndex(QTreeWidgetItem* item, int index) { item->setData(0, kImageIndexRole, index); }

std::size_t TTreeWidgetCheckTree::TopCount() const { return static_cast<std::size_t>(tree_.topLevelItemCount()); }

ICheckTree::Node TTreeWidgetCheckTree::Top(std::size_t index) const {
  return reinterpret_cast<Node>(tree_.topLevelItem(static_cast<int>(index)));
}

std::size_t TTreeWidgetCheckTree::ChildCount(Node node) const { return static_cast<std::size_t>(I(node)->childCount()); }

ICheckTree::Node TTreeWidgetCheckTree::Child(Node node, std::size_t index) const {
  return reinterpret_cast<Node>(I(node)->child(static_cast<int>(index)));
}

std::string TTreeWidgetCheckTree::Text(Node node) const { return I(node)->text(0).toStdString(); }

int TTreeWidgetCheckTree::ImageIndex(Node node) const { return I(node)->data(0, kImageIndexRole).toInt(); }

bool TTreeWidgetCheckTree::Checked(Node node) const { return TStateImageTree::StateImageChecked(I(node)); }

void TTreeWidgetCheckTree::SetChecked(Node node, bool checked) { TStateImageTree::SetStateImage(I(node), checked); }

bool TTreeWidgetCheckTree::Expanded(Node node) const { return I(node)->isExpanded(); }

void TTreeWidgetCheckTree::SetExpanded(Node node, bool expanded) { I(node)->setExpanded(expanded); }

}  // namespace kestrove
