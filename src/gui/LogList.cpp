#include "gui/LogList.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QScrollBar>
#include <algorithm>

namespace kestrove {

namespace {
constexpr int kBatchMilliseconds = 40;
// Measuring a line costs a few microseconds: a step measures for at most this long, then
// lets the window handle its events.
constexpr int kMeasureStepMilliseconds = 16;
constexpr int kFitMilliseconds = 50;
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
  // A zero timer fires once the window has handled what is waiting: measuring takes only
  // the window's idle time.
  measure_.setSingleShot(true);
  measure_.setInterval(0);
  connect(&measure_, &QTimer::timeout, this, [this] { MeasureStep(kMeasureStepMilliseconds); });
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
  if (!measure_.isActive()) measure_.start();
}

void TLogListView::MeasureStep(int budgetMs) {
  const std::vector<QString>& lines = model_->Lines();
  const QFontMetrics metrics(font());
  QElapsedTimer clock;
  clock.start();
  while (measured_ < lines.size()) {
    widest_ = std::max(widest_, metrics.horizontalAdvance(lines[measured_]));
    if (++measured_ % 64 == 0 && clock.elapsed() >= budgetMs) break;
  }
  if (measured_ < lines.size()) {
    measure_.start();
    return;
  }
  if (fitPending_) {
    fitPending_ = false;
    ApplyExtent();
  }
}

bool TLogListView::WidthKnown() const { return pending_.empty() && measured_ == model_->Lines().size() && !fitPending_; }

// Another font makes every line another width: measured again, and a fitted extent follows.
void TLogListView::changeEvent(QEvent* event) {
  QListView::changeEvent(event);
  if (event->type() != QEvent::FontChange) return;
  widest_ = 0;
  measured_ = 0;
  if (delegate_->extent > 0) fitPending_ = true;
  measure_.start();
}

void TLogListView::Clear() {
  pending_.clear();
  scrollPending_ = false;
  batch_.stop();
  measure_.stop();
  model_->Clear();
  widest_ = 0;
  measured_ = 0;
  fitPending_ = false;
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
  MeasureStep(kFitMilliseconds);
  fitPending_ = measured_ < model_->Lines().size();
  ApplyExtent();
}

void TLogListView::ApplyExtent() {
  delegate_->extent = widest_ + 10;
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
