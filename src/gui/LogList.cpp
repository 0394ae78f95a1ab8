#include "gui/LogList.h"

#include <QScrollBar>
#include <algorithm>

namespace kestrove {

namespace {
constexpr int kBatchMilliseconds = 40;
}

int TLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= static_cast<int>(lines_.size())) return {};
  return lines_[static_cast<std::size_t>(index.row())];
}

void TLogModel::Append(std::vector<QString>&& lines) {
  if (lines.empty()) return;
  const int first = static_cast<int>(lines_.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
  lines_.insert(lines_.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
  endInsertRows();
}

void TLogModel::Clear() {
  beginResetModel();
  lines_.clear();
  lines_.shrink_to_fit();
  endResetModel();
}

QSize TLogDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setWidth(extent);
  return size;
}

TLogListView::TLogListView(QWidget* parent)
    : QListView(parent), model_(new TLogModel(this)), delegate_(new TLogDelegate(this)) {
  setModel(model_);
  setItemDelegate(delegate_);
  setUniformItemSizes(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  shownText_ = palette().color(QPalette::Text);
  batch_.setSingleShot(true);
  batch_.setInterval(kBatchMilliseconds);
  connect(&batch_, &QTimer::timeout, this, [this] {
    Flush();
    if (scrollPending_) {
      scrollPending_ = false;
      scrollToBottom();
    }
  });
}

void TLogListView::AddLine(const QString& line) {
  pending_.push_back(line);
  if (!batch_.isActive()) batch_.start();
}

void TLogListView::Flush() {
  if (pending_.empty()) return;
  std::vector<QString> lines;
  lines.swap(pending_);
  model_->Append(std::move(lines));
}

void TLogListView::Clear() {
  pending_.clear();
  scrollPending_ = false;
  batch_.stop();
  model_->Clear();
}

void TLogListView::ScrollToEnd(bool now) {
  if (now) {
    Flush();
    scrollPending_ = false;
    scrollToBottom();
    return;
  }
  scrollPending_ = true;
  if (!batch_.isActive()) batch_.start();
}

void TLogListView::FitWidth() {
  Flush();
  const QFontMetrics metrics(font());
  int widest = 0;
  for (const QString& line : model_->Lines()) widest = std::max(widest, metrics.horizontalAdvance(line));
  delegate_->extent = widest + 10;
  // The view keeps the size of its first line while all lines share one size: make it
  // measure again.
  setUniformItemSizes(false);
  setUniformItemSizes(true);
}

void TLogListView::SetHidden(bool hidden) {
  QPalette pal = palette();
  pal.setColor(QPalette::Text, hidden ? pal.color(QPalette::Base) : shownText_);
  setPalette(pal);
}

bool TLogListView::IsHidden() const { return palette().color(QPalette::Text) == palette().color(QPalette::Base); }

int TLogListView::Count() const { return static_cast<int>(model_->Lines().size() + pending_.size()); }

std::vector<QString> TLogListView::Lines() {
  Flush();
  return model_->Lines();
}

}  // namespace kestrove
