// The cleaner's log, lMain: a list of text lines that a job fills, possibly with a hundred
// thousand lines. Lines are kept in a plain vector and reach the view in batches, a few
// dozen times a second at most, so the window stays responsive however fast they come.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QStyledItemDelegate>
#include <QTimer>
#include <vector>

namespace kestrove {

class TLogModel : public QAbstractListModel {
  Q_OBJECT

 public:
  using QAbstractListModel::QAbstractListModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  void Append(std::vector<QString>&& lines);
  void Clear();
  const std::vector<QString>& Lines() const { return lines_; }

 private:
  std::vector<QString> lines_;
};

// Every line is as wide as the horizontal extent the log was given (0 until a run ends, as
// a list box without a horizontal extent has no horizontal scrolling).
class TLogDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  int extent = 0;
};

class TLogListView : public QListView {
  Q_OBJECT

 public:
  explicit TLogListView(QWidget* parent);

  void AddLine(const QString& line);
  void Clear();
  // Scrolls to the last line with the next batch (at once when `now`).
  void ScrollToEnd(bool now = false);
  // The horizontal extent := the widest line in the list's font + 10 pixels. Lines are
  // measured as they arrive, a few milliseconds at a time while the window is idle, so the
  // fit at the end of a run finds them measured; lines it finds unmeasured are measured for
  // at most kFitMilliseconds, and the rest later in the same small steps, the extent
  // following when the last is measured. The window never stops for long.
  void FitWidth();
  // Every line has been measured (and a fit asked for is applied).
  bool WidthKnown() const;
  int HorizontalExtent() const { return delegate_->extent; }

  // The font drawn in the background colour: the lines are there but cannot be seen.
  void SetHidden(bool hidden);
  bool IsHidden() const;

  // Every line, those not yet drawn included.
  int Count() const;
  std::vector<QString> Lines();
  // Hands the waiting lines to the view now.
  void Flush();

 protected:
  void changeEvent(QEvent* event) override;

 private:
  // Measures unmeasured lines for at most `budgetMs`; schedules the rest.
  void MeasureStep(int budgetMs);
  void ApplyExtent();

  TLogModel* model_;
  int widest_ = 0;             // of lines [0, measured_) of the model, in the list's font
  std::size_t measured_ = 0;
  bool fitPending_ = false;    // a fit waits for the last lines to be measured
  QTimer measure_;
  TLogDelegate* delegate_;
  std::vector<QString> pending_;
  bool scrollPending_ = false;
  QTimer batch_;
  QColor shownText_;
};

}  // namespace kestrove
