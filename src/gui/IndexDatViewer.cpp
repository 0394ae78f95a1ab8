#include "gui/IndexDatViewer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>
#include <filesystem>

#include "tools/IndexDat.h"

namespace kestrove {

// ---------------------------------------------------------------------------------------
// The list's rows

int TIndexDatModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_; }

int TIndexDatModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant TIndexDatModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shown_) return {};
  const std::size_t row = std::size_t(index.row());
  if (role == Qt::DisplayRole) {
    // The file's texts are single-byte; they are shown as Latin-1.
    if (index.column() == 0) return QString::fromLatin1(urls_[row].data(), qsizetype(urls_[row].size()));
    return QString::fromLocal8Bit(IndexDatTimeText(times_[row]));
  }
  if (role == Qt::DecorationRole && index.column() == 0)  // every URL has image 0
    return QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon);
  return {};
}

QVariant TIndexDatModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == 0 ? QString("URL") : QString("Last Modified");
}

void TIndexDatModel::Clear() {
  beginResetModel();
  urls_.clear();
  times_.clear();
  shown_ = 0;
  endResetModel();
}

void TIndexDatModel::Append(std::string url, std::uint64_t fileTime) {
  urls_.push_back(std::move(url));
  times_.push_back(fileTime);
}

void TIndexDatModel::SetItemCount() {
  beginResetModel();
  shown_ = int(urls_.size());
  endResetModel();
}

// ---------------------------------------------------------------------------------------
// The window

TfrmIndexDatViewer::TfrmIndexDatViewer(TargetSystem* target, const TOptionsSetting& options, IPrompt& prompt,
                                       IDesktopServices& desktop, QWidget* parent)
    : QDialog(parent), target_(target), options_(options), prompt_(prompt), desktop_(desktop) {
  setWindowTitle(kIndexDatViewerCaption);
  gbFileName = new QGroupBox("Index.dat file location", this);
  eFileName = new QLineEdit(gbFileName);
  bBrowseFolder = new QPushButton("...", gbFileName);
  bBrowseFolder->setFixedWidth(30);
  auto* fileRow = new QHBoxLayout(gbFileName);
  fileRow->addWidget(eFileName);
  fileRow->addWidget(bBrowseFolder);

  Model = new TIndexDatModel(this);
  lvIndexDat = new QTreeView(this);
  lvIndexDat->setModel(Model);
  lvIndexDat->setRootIsDecorated(false);
  lvIndexDat->setUniformRowHeights(true);  // keeps a long list as fast as a short one
  lvIndexDat->setSelectionMode(QAbstractItemView::SingleSelection);
  lvIndexDat->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvIndexDat->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvIndexDat->setIconSize(QSize(16, 16));
  lvIndexDat->setToolTip("Double click the item to link to the URL");
  lvIndexDat->header()->setStretchLastSection(false);
  lvIndexDat->setColumnWidth(0, 380);
  lvIndexDat->setColumnWidth(1, 120);

  lTotal = new QLabel("Total Record:", this);
  pTotal = new QLabel("0", this);
  pTotal->setFrameShape(QFrame::Panel);
  pTotal->setFrameShadow(QFrame::Sunken);
  pTotal->setMinimumWidth(70);
  ProgressBar = new QProgressBar(this);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->hide();
  bDelete = new QPushButton("&Delete", this);
  bDelete->hide();
  bShow = new QPushButton("&Show", this);
  bClose = new QPushButton("&Close", this);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(lTotal);
  bottom->addWidget(pTotal);
  bottom->addWidget(ProgressBar, 1);
  bottom->addStretch();
  for (QPushButton* b : {bDelete, bShow, bClose}) bottom->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(gbFileName);
  layout->addWidget(lvIndexDat, 1);
  layout->addLayout(bottom);
  resize(560, 400);

  // The hidden command: an action of the window that no menu shows.
  miShow = new QAction("Show", this);
  miShow->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));
  miShow->setShortcutContext(Qt::WindowShortcut);
  addAction(miShow);
  connect(miShow, &QAction::triggered, this, [this] { bDelete->setVisible(true); });

  connect(bBrowseFolder, &QPushButton::clicked, this, [this] { bBrowseFolderClick(); });
  connect(bShow, &QPushButton::clicked, this, [this] { bShowClick(); });
  connect(bDelete, &QPushButton::clicked, this, [this] { bDeleteClick(); });
  connect(bClose, &QPushButton::clicked, this, &QDialog::reject);
  connect(lvIndexDat, &QTreeView::doubleClicked, this, [this] { lvIndexDatDblClick(); });
  OnBrowseFile = [this](const QString& folder) {
    // The filter reads as on Windows and, as there, matches names in any letter case
    // (INDEX.DAT, index.dat): Qt's own dialog does so when the filter is not case-sensitive.
    QFileDialog dialog(this, QString(), folder, "Index dat file(*.dat)");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                 : QString();
  };
}

void TfrmIndexDatViewer::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmIndexDatViewer::FormShow() {
  std::string folder;
  if (target_) {
    desktop_.EndBrowserSession();
    folder = target_->ShellFolder("Cache").value_or("");
  }
  eFileName->setText(QString::fromStdString(folder + "\\Content.IE5\\index.dat"));
}

std::string TfrmIndexDatViewer::HostFileName() const {
  const std::string text = eFileName->text().toStdString();
  if (text.empty() || text.front() == '/' || !target_) return text;
  const auto host = target_->HostPath(text);
  return host ? host->string() : std::string();
}

void TfrmIndexDatViewer::bBrowseFolderClick() {
  if (parsing_ || !OnBrowseFile) return;
  const std::string host = HostFileName();
  const QString folder = host.empty() ? QString() : QFileInfo(QString::fromStdString(host)).absolutePath();
  const QString chosen = OnBrowseFile(folder);
  if (chosen.isEmpty()) return;
  // A file of the target is shown as the target names it.
  std::optional<std::string> windows;
  if (target_) windows = target_->WindowsPath(std::filesystem::path(chosen.toStdString()));
  eFileName->setText(windows ? QString::fromStdString(*windows) : chosen);
}

void TfrmIndexDatViewer::SetBusy(bool busy) {
  parsing_ = busy;
  for (QWidget* w : std::initializer_list<QWidget*>{bShow, bClose, bDelete, bBrowseFolder, eFileName})
    w->setEnabled(!busy);
  miShow->setEnabled(!busy);
}

void TfrmIndexDatViewer::bShowClick() {
  if (parsing_) return;
  const std::string host = HostFileName();
  std::error_code ec;
  const QString extension = QFileInfo(eFileName->text().replace('\\', '/')).suffix().toUpper();
  if (host.empty() || !std::filesystem::is_regular_file(host, ec) || extension != "DAT") {
    prompt_.Ask({kIndexDatViewerCaption, kIndexDatBadFileName, TMsgButtons::Ok, TMsgIcon::None, 0});
    eFileName->setFocus();
    return;
  }
  Model->Clear();
  lTotal->hide();
  pTotal->hide();
  ProgressBar->setValue(0);
  ProgressBar->show();
  SetBusy(true);
  try {
    std::vector<TIndexDatRecord> records;
    // The window stays responsive while a long file is read; Show, Close and Delete are
    // disabled meanwhile, so nothing the events do can start a second read or end this one.
    ReadIndexDat(host, records, [this](std::uint64_t walked, std::uint64_t total) {
      if (total > 0) {
        const int percent = int(std::min<std::uint64_t>(walked * 100 / total, 100));
        if (percent > ProgressBar->value()) ProgressBar->setValue(percent);
      }
      if (walked % 256 == 0) QApplication::processEvents();
      return true;
    });
    for (TIndexDatRecord& r : records) Model->Append(std::move(r.Url), r.FileTime);
  } catch (...) {
    // What was collected is shown.
  }
  ProgressBar->setValue(100);
  SetBusy(false);
  Model->SetItemCount();
  pTotal->setText(QString::number(Model->Count()));
  lTotal->show();
  pTotal->show();
}

void TfrmIndexDatViewer::bDeleteClick() {
  if (parsing_) return;
  if (target_) {
    const int passes = IndexDatWipePasses(options_.IsWipeFile, options_.WipeNumber);
    std::string windowsPath = eFileName->text().toStdString();
    // A path of this machine is written only when it lies inside the Windows system.
    if (!windowsPath.empty() && windowsPath.front() == '/')
      windowsPath = target_->WindowsPath(std::filesystem::path(windowsPath)).value_or("");
    if (!windowsPath.empty()) WipeIndexDatRecordsInTarget(*target_, windowsPath, passes);
  }
  done(QDialog::Rejected);
}

void TfrmIndexDatViewer::lvIndexDatDblClick() {
  const QModelIndex current = lvIndexDat->currentIndex();
  if (!current.isValid() || !lvIndexDat->selectionModel()->isRowSelected(current.row(), {})) return;
  // The rows are addresses, not files: a web address goes to the browser; anything else in
  // the file (a local path, a script) is not run from a double-click.
  if (const std::string address = IndexDatWebAddress(Model->Url(current.row())); !address.empty())
    desktop_.OpenWebAddress(address);
}

void TfrmIndexDatViewer::reject() {
  if (!parsing_) QDialog::reject();
}

void TfrmIndexDatViewer::closeEvent(QCloseEvent* event) {
  if (parsing_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace kestrove
