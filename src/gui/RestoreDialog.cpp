#include "gui/RestoreDialog.h"

#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "regscan/BackupOrigin.h"

namespace kestrove {

TfrmRestore::TfrmRestore(const TOptionsSetting& options, TRegeditRunner& regedit, IPrompt& prompt,
                         IDesktopServices& desktop, QWidget* parent)
    : QDialog(parent), options_(options), regedit_(regedit), prompt_(prompt), desktop_(desktop) {
  setWindowTitle(kProductName);
  gbFolder = new QGroupBox("Backup files are stored in the folder", this);
  eFolder = new QLineEdit(gbFolder);
  eFolder->setReadOnly(true);
  bBrowseFolder = new QPushButton("...", gbFolder);
  bBrowseFolder->setFixedWidth(30);
  auto* folderRow = new QHBoxLayout(gbFolder);
  folderRow->addWidget(eFolder);
  folderRow->addWidget(bBrowseFolder);

  ListView1 = new QTreeWidget(this);
  ListView1->setHeaderLabels({"Backup file", "Date", "Size", "System"});
  ListView1->setRootIsDecorated(false);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setColumnWidth(0, 170);
  ListView1->setColumnWidth(1, 210);
  ListView1->headerItem()->setTextAlignment(2, Qt::AlignRight);

  aRestore = new QAction("&Restore", this);
  aDelete = new QAction("&Delete", this);
  bRestore = new QPushButton(aRestore->text(), this);
  bDelete = new QPushButton(aDelete->text(), this);
  bOpenDirectory = new QPushButton("&Open Directory", this);
  bClose = new QPushButton("&Close", this);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {bRestore, bDelete, bOpenDirectory}) buttons->addWidget(b);
  buttons->addStretch();
  buttons->addWidget(bClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(gbFolder);
  layout->addWidget(ListView1);
  layout->addLayout(buttons);
  ListView1->setColumnWidth(2, 70);
  resize(820, 360);

  // The buttons follow their actions' enabled state.
  connect(aRestore, &QAction::changed, this, [this] { bRestore->setEnabled(aRestore->isEnabled()); });
  connect(aDelete, &QAction::changed, this, [this] { bDelete->setEnabled(aDelete->isEnabled()); });
  connect(bRestore, &QPushButton::clicked, aRestore, &QAction::trigger);
  connect(bDelete, &QPushButton::clicked, aDelete, &QAction::trigger);
  connect(aRestore, &QAction::triggered, this, [this] { aRestoreExecute(); });
  connect(aDelete, &QAction::triggered, this, [this] { aDeleteExecute(); });
  connect(ListView1, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (aRestore->isEnabled()) aRestore->trigger();
  });
  connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActions(); });
  connect(bOpenDirectory, &QPushButton::clicked, this, [this] { bOpenDirectoryClick(); });
  connect(bBrowseFolder, &QPushButton::clicked, this, [this] { bBrowseFolderClick(); });
  connect(bClose, &QPushButton::clicked, this, &QDialog::reject);
  OnBrowseFolder = [this] {
    return QFileDialog::getExistingDirectory(nullptr, "Please select the directory to add", eFolder->text());
  };
  UpdateActions();
}

void TfrmRestore::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmRestore::FormShow() {
  eFolder->setText(QString::fromStdString(options_.OutputDirectory));
  FillList(options_.OutputDirectory);
}

void TfrmRestore::FillList(const std::string& folder) {
  ListView1->clear();
  const auto files = ListBackupFilesFor(folder, Identity);
  if (!files) {
    prompt_.Ask({kProductName, kNoBackupFolder, TMsgButtons::Ok, TMsgIcon::Information, 0});
    UpdateActions();
    return;
  }
  const QLocale locale;
  for (const TBackupFile& f : *files) {
    const QDateTime when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(f.Modified));
    auto* item = new QTreeWidgetItem(ListView1);
    item->setText(0, QString::fromStdString(f.FileName));
    item->setText(1, locale.toString(when.date(), QLocale::ShortFormat) + " " +
                         locale.toString(when.time(), QLocale::LongFormat));
    item->setText(2, QString::fromStdString(BackupSizeText(f.Size)));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setText(3, QString::fromStdString(OriginColumnText(f.Origin, Identity)));
    item->setToolTip(3, item->text(3));
  }
  UpdateActions();
}

void TfrmRestore::UpdateActions() {
  const bool selected = !ListView1->selectedItems().isEmpty();
  aRestore->setEnabled(selected);
  aDelete->setEnabled(selected);
  bRestore->setEnabled(selected);
  bDelete->setEnabled(selected);
}

void TfrmRestore::bBrowseFolderClick() {
  const QString chosen = OnBrowseFolder ? OnBrowseFolder() : QString();
  if (chosen.isEmpty()) return;
  eFolder->setText(chosen);
  FillList(chosen.toStdString());
}

void TfrmRestore::aRestoreExecute() {
  QTreeWidgetItem* item = ListView1->currentItem();
  if (!item || !item->isSelected()) return;
  const std::string folder = eFolder->text().toStdString(), name = item->text(0).toStdString();
  bool intoOther = false;
  if (const auto origin = ReadBackupOrigin(BackupFilePath(folder, name));
      MatchOrigin(origin, Identity) == TOriginMatch::OtherSystem) {
    const std::string question =
        OtherSystemMessage("The backup " + name, *origin, Identity) + " Put it into this system all the same?";
    if (prompt_.Ask({kProductName, question, TMsgButtons::YesNo, TMsgIcon::Warning, 1}) != TMsgResult::Yes) return;
    intoOther = true;
  }
  const TRestoreOutcome outcome =
      RestoreBackupFile(regedit_, folder, name, options_.DeleteBackupFile, Identity, intoOther);
  if (outcome.Ran && OnRegistryChanged) OnRegistryChanged();
  if (outcome.Ran && !outcome.Imported)
    prompt_.Ask({kProductName, outcome.Error, TMsgButtons::Ok, TMsgIcon::Warning, 0});
  if (outcome.Deleted) RemoveRow(item);
}

void TfrmRestore::aDeleteExecute() {
  QTreeWidgetItem* item = ListView1->currentItem();
  if (!item || !item->isSelected()) return;
  DeleteBackupFileAt(eFolder->text().toStdString(), item->text(0).toStdString());
  // The row goes whether or not the file did.
  RemoveRow(item);
}

void TfrmRestore::RemoveRow(QTreeWidgetItem* item) {
  const int index = ListView1->indexOfTopLevelItem(item);
  delete ListView1->takeTopLevelItem(index);
  const int count = ListView1->topLevelItemCount();
  if (count > 0) {
    QTreeWidgetItem* next = ListView1->topLevelItem(std::min(index, count - 1));
    ListView1->setCurrentItem(next);
    next->setSelected(true);
  }
  UpdateActions();
}

void TfrmRestore::bOpenDirectoryClick() { desktop_.ShellOpen(eFolder->text().toStdString()); }

}  // namespace kestrove
