#include "gui/CustomListEditor.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QProcess>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "app/IniFile.h"
#include "platform/FileServices.h"

namespace kestrove {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The line under an entry the cleaner would skip: the reason its log would give.
QLabel* NewRefusalLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setWordWrap(true);
  label->setStyleSheet("color: #b00000");
  label->hide();
  return label;
}

void ShowRefusal(QLabel* label, const std::optional<std::string>& why) {
  label->setText(why ? "The cleaner skips this entry: " + Q(*why) + "." : QString());
  label->setVisible(why.has_value());
}

QHBoxLayout* OkCancelRow(QPushButton* ok, QPushButton* cancel) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(ok);
  row->addWidget(cancel);
  return row;
}

// The picker shows the target's folders on the host; the entry keeps the Windows path.
TCustomListHooks WithDefaults(TargetSystem& target, QWidget* owner, TCustomListHooks hooks) {
  if (!hooks.BrowseFolder)
    hooks.BrowseFolder = [&target, owner](const QString& current) {
      std::filesystem::path start = target.Folder() / "drive_c";
      if (auto host = target.HostPath(current.toStdString()); host && std::filesystem::is_directory(*host))
        start = *host;
      const QString chosen =
          QFileDialog::getExistingDirectory(owner, "Please select the directory to add", Q(start.string()));
      if (chosen.isEmpty()) return QString();
      const auto windows = target.WindowsPath(chosen.toStdString());
      return windows ? Q(*windows) : QString();
    };
  if (!hooks.LaunchRegedit)
    hooks.LaunchRegedit = [&target] {
      // The target is a Wine prefix: its own registry editor shows the registry cleaned here.
      QProcess process;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert("WINEPREFIX", Q(target.Folder().string()));
      process.setProcessEnvironment(env);
      process.setProgram("wine");
      process.setArguments({"Regedit.exe"});
      process.startDetached();
    };
  return hooks;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Add File and Folder

TfrmAddFolder::TfrmAddFolder(TargetSystem& target, TCustomListHooks hooks, QWidget* parent)
    : QDialog(parent), target_(target), hooks_(WithDefaults(target, this, std::move(hooks))) {
  setWindowTitle("Add File and Folder");
  gbFolder = new QGroupBox("Select a folder", this);
  eFolder = new QLineEdit(gbFolder);
  bBrowse = new QPushButton("...", gbFolder);
  bBrowse->setFixedWidth(30);
  auto* folderRow = new QHBoxLayout(gbFolder);
  folderRow->addWidget(eFolder);
  folderRow->addWidget(bBrowse);

  rgOptions = new QGroupBox(this);
  rbSingleFile = new QRadioButton("Delete single file", rgOptions);
  rbFolderFiles = new QRadioButton("Delete folders containing multiple files", rgOptions);
  rbSingleFile->setChecked(true);
  auto* optionsColumn = new QVBoxLayout(rgOptions);
  optionsColumn->addWidget(rbSingleFile);
  optionsColumn->addWidget(rbFolderFiles);

  gbSelectFile = new QGroupBox("Select file", this);
  lbFile = new QListWidget(gbSelectFile);
  auto* fileColumn = new QVBoxLayout(gbSelectFile);
  fileColumn->addWidget(lbFile);

  gbWashMode = new QGroupBox("Select deleting mode", this);
  rbDeleteFolder = new QRadioButton("Delete this folder", gbWashMode);
  rbDeleteFiles = new QRadioButton("Delete files in this folder(use wildcard match)", gbWashMode);
  rbDeleteFolder->setChecked(true);
  eFileMatch = new QLineEdit("*.", gbWashMode);
  lExample = new QLabel("(For example: *.txt)", gbWashMode);
  auto* modeColumn = new QVBoxLayout(gbWashMode);
  modeColumn->addWidget(rbDeleteFolder);
  modeColumn->addWidget(rbDeleteFiles);
  auto* maskRow = new QHBoxLayout;
  maskRow->addSpacing(20);
  maskRow->addWidget(eFileMatch);
  maskRow->addWidget(lExample);
  modeColumn->addLayout(maskRow);
  modeColumn->addStretch();
  gbWashMode->hide();

  lRefusal = NewRefusalLabel(this);
  aOK = new QAction("&OK", this);
  bOK = new QPushButton(aOK->text(), this);
  bOK->setDefault(true);
  bCancel = new QPushButton("&Cancel", this);

  auto* layout = new QGridLayout(this);
  layout->addWidget(gbFolder, 0, 0);
  layout->addWidget(rgOptions, 1, 0);
  // The two groups share one place: the mode shows one of them.
  layout->addWidget(gbSelectFile, 2, 0);
  layout->addWidget(gbWashMode, 2, 0);
  layout->addWidget(lRefusal, 3, 0);
  layout->addLayout(OkCancelRow(bOK, bCancel), 4, 0);
  layout->setRowStretch(2, 1);
  resize(420, 400);

  connect(aOK, &QAction::changed, this, [this] { bOK->setEnabled(aOK->isEnabled()); });
  connect(bOK, &QPushButton::clicked, aOK, &QAction::trigger);
  connect(aOK, &QAction::triggered, this, [this] {
    if (aOK->isEnabled()) accept();
  });
  connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(bBrowse, &QPushButton::clicked, this, [this] { bBrowseClick(); });
  // A click on the chosen option applies it again: a typed folder lists its files so.
  connect(rbSingleFile, &QRadioButton::clicked, this, [this] { rgOptionsClick(); });
  connect(rbFolderFiles, &QRadioButton::clicked, this, [this] { rgOptionsClick(); });
  connect(eFolder, &QLineEdit::textChanged, this, [this] { UpdateActions(); });
  // Only a folder not listed yet: the focus leaving for the list must not empty it under
  // the click that picks a file.
  connect(eFolder, &QLineEdit::editingFinished, this, [this] {
    if (OptionIndex() == 0 && eFolder->text() != listedFolder_) rgOptionsClick();
  });
  connect(lbFile, &QListWidget::itemSelectionChanged, this, [this] { UpdateActions(); });
  connect(rbDeleteFolder, &QRadioButton::toggled, this, [this] { UpdateActions(); });
  connect(eFileMatch, &QLineEdit::textChanged, this, [this] { UpdateActions(); });
  UpdateActions();
}

void TfrmAddFolder::SetOptionIndex(int index) {
  (index == 1 ? rbFolderFiles : rbSingleFile)->setChecked(true);
  rgOptionsClick();
}

void TfrmAddFolder::bBrowseClick() {
  const QString chosen = hooks_.BrowseFolder(eFolder->text());
  if (chosen.isEmpty()) return;
  eFolder->setText(chosen);
  rgOptionsClick();
}

bool TfrmAddFolder::FolderExists() const {
  const std::string folder = eFolder->text().toStdString();
  return !folder.empty() && OpenTargetFolder(target_, folder).has_value();
}

void TfrmAddFolder::rgOptionsClick() {
  const bool fileMode = OptionIndex() == 0;
  gbWashMode->setVisible(!fileMode);
  gbSelectFile->setVisible(fileMode);
  if (fileMode && FolderExists()) {
    lbFile->clear();
    listedFolder_ = eFolder->text();
    if (auto opened = OpenTargetFolder(target_, eFolder->text().toStdString()))
      for (const TFolderEntry& e : ListFolder(*opened->Ops, opened->Fd.Get()))
        if (e.Kind == TEntryKind::File) lbFile->addItem(Q(e.Name));
  }
  UpdateActions();
}

std::string TfrmAddFolder::EntryText() const {
  const std::string folder = eFolder->text().toStdString();
  if (gbSelectFile->isVisibleTo(this)) {
    const QListWidgetItem* file = lbFile->currentItem();
    return folder + "," + (file && file->isSelected() ? file->text().toStdString() : std::string());
  }
  if (rbDeleteFolder->isChecked()) return folder;
  return folder + "," + eFileMatch->text().toStdString();
}

void TfrmAddFolder::UpdateActions() {
  bool ok = false;
  if (FolderExists()) {
    if (gbSelectFile->isVisibleTo(this))
      ok = !lbFile->selectedItems().isEmpty();
    else
      ok = rbDeleteFolder->isChecked() || eFileMatch->text().size() > 2;
  }
  std::optional<std::string> why;
  if (ok) why = CustomEntryRefusal(target_, EntryText());
  ShowRefusal(lRefusal, why);
  aOK->setEnabled(ok && !why);
}

// ---------------------------------------------------------------------------------------
// Add Registry

TfrmAddRegistry::TfrmAddRegistry(TargetSystem& target, TCustomListHooks hooks, QWidget* parent)
    : QDialog(parent), target_(target), hooks_(WithDefaults(target, this, std::move(hooks))) {
  setWindowTitle("Add Registry");
  lRegistryKey = new QLabel("Registry Key", this);
  bLaunchRegedit = new QPushButton("&Run Registry Editor", this);
  eRegistryKey = new QLineEdit(this);
  lKeyHint = new QLabel("Enter the registry key like: HKEY_CURRENT_USER\\Software\\Microsoft", this);
  rbWashKey = new QRadioButton("Delete key", this);
  rbWashAllValues = new QRadioButton("Delete values under the key", this);
  rbWashValue = new QRadioButton("Delete value", this);
  rbWashKey->setChecked(true);
  lRegistryValue = new QLabel("Value Name", this);
  eRegistryValue = new QLineEdit(this);
  lRefusal = NewRefusalLabel(this);
  aOK = new QAction("&OK", this);
  bOK = new QPushButton(aOK->text(), this);
  bOK->setDefault(true);
  bCancel = new QPushButton("&Cancel", this);

  auto* layout = new QVBoxLayout(this);
  auto* keyRow = new QHBoxLayout;
  keyRow->addWidget(lRegistryKey);
  keyRow->addStretch();
  keyRow->addWidget(bLaunchRegedit);
  layout->addLayout(keyRow);
  layout->addWidget(eRegistryKey);
  layout->addWidget(lKeyHint);
  layout->addSpacing(6);
  layout->addWidget(rbWashKey);
  layout->addWidget(rbWashAllValues);
  layout->addWidget(rbWashValue);
  auto* valueRow = new QHBoxLayout;
  valueRow->addSpacing(20);
  valueRow->addWidget(lRegistryValue);
  valueRow->addWidget(eRegistryValue, 1);
  layout->addLayout(valueRow);
  layout->addWidget(lRefusal);
  layout->addStretch();
  layout->addLayout(OkCancelRow(bOK, bCancel));
  resize(440, 260);

  connect(aOK, &QAction::changed, this, [this] { bOK->setEnabled(aOK->isEnabled()); });
  connect(bOK, &QPushButton::clicked, aOK, &QAction::trigger);
  connect(aOK, &QAction::triggered, this, [this] {
    if (aOK->isEnabled()) accept();
  });
  connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(bLaunchRegedit, &QPushButton::clicked, this, [this] { hooks_.LaunchRegedit(); });
  for (QRadioButton* b : {rbWashKey, rbWashAllValues, rbWashValue})
    connect(b, &QRadioButton::toggled, this, [this] { UpdateActions(); });
  connect(eRegistryKey, &QLineEdit::textChanged, this, [this] { UpdateActions(); });
  connect(eRegistryValue, &QLineEdit::textChanged, this, [this] { UpdateActions(); });
  UpdateActions();
}

void TfrmAddRegistry::SetEntry(const TRegistryEntry& entry) {
  eRegistryKey->setText(Q(entry.Key));
  eRegistryValue->setText(Q(entry.ValueName));
  switch (entry.Mode) {
    case TRegistryEntryMode::Key:
      rbWashKey->setChecked(true);
      break;
    case TRegistryEntryMode::AllValues:
      rbWashAllValues->setChecked(true);
      break;
    case TRegistryEntryMode::Value:
      rbWashValue->setChecked(true);
      break;
  }
  UpdateActions();
}

std::string TfrmAddRegistry::EntryText() const {
  TRegistryEntry entry{eRegistryKey->text().toStdString(), TRegistryEntryMode::Key,
                       eRegistryValue->text().toStdString()};
  if (rbWashAllValues->isChecked()) entry.Mode = TRegistryEntryMode::AllValues;
  if (rbWashValue->isChecked()) entry.Mode = TRegistryEntryMode::Value;
  return RegistryEntryText(entry);
}

void TfrmAddRegistry::UpdateActions() {
  eRegistryValue->setEnabled(rbWashValue->isChecked());
  lRegistryValue->setEnabled(rbWashValue->isChecked());
  const bool ok = eRegistryKey->text().toUpper().contains("HKEY_") &&
                  (!rbWashValue->isChecked() || !eRegistryValue->text().isEmpty());
  std::optional<std::string> why;
  if (ok) why = CustomEntryRefusal(target_, EntryText());
  ShowRefusal(lRefusal, why);
  aOK->setEnabled(ok && !why);
}

// ---------------------------------------------------------------------------------------
// The list editor

TfrmNewCustomItem::TfrmNewCustomItem(TargetSystem& target, std::string programFolder, IPrompt& prompt,
                                     TCustomListHooks hooks, QWidget* parent)
    : QDialog(parent), target_(target), programFolder_(std::move(programFolder)), prompt_(prompt),
      hooks_(std::move(hooks)) {
  lvContent = new QTreeWidget(this);
  lvContent->setHeaderLabels({"Content"});
  lvContent->setColumnWidth(0, 320);
  lvContent->setRootIsDecorated(false);
  lvContent->setSelectionMode(QAbstractItemView::SingleSelection);
  lvContent->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvContent->setEditTriggers(QAbstractItemView::NoEditTriggers);

  aEdit = new QAction("&Edit", this);
  aRemove = new QAction("R&emove Selected", this);
  aOK = new QAction("&OK", this);
  bAddFolder = new QPushButton("Add &File && Folder", this);
  bAddRegistry = new QPushButton("Add &Registry", this);
  bEdit = new QPushButton(aEdit->text(), this);
  bRemove = new QPushButton(aRemove->text(), this);
  bOK = new QPushButton(aOK->text(), this);
  bCancel = new QPushButton("&Cancel", this);

  auto* side = new QVBoxLayout;
  for (QPushButton* b : {bAddFolder, bAddRegistry, bEdit, bRemove}) side->addWidget(b);
  side->addStretch();
  side->addWidget(bOK);
  side->addWidget(bCancel);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(lvContent, 1);
  layout->addLayout(side);
  resize(500, 300);

  const std::pair<QAction*, QPushButton*> bound[] = {{aEdit, bEdit}, {aRemove, bRemove}, {aOK, bOK}};
  for (auto [action, button] : bound) {
    connect(action, &QAction::changed, button, [action, button] { button->setEnabled(action->isEnabled()); });
    connect(button, &QPushButton::clicked, action, &QAction::trigger);
  }
  connect(aEdit, &QAction::triggered, this, [this] { aEditExecute(); });
  connect(aRemove, &QAction::triggered, this, [this] { aRemoveExecute(); });
  connect(aOK, &QAction::triggered, this, [this] { aOKExecute(); });
  connect(bAddFolder, &QPushButton::clicked, this, [this] { bAddFolderClick(); });
  connect(bAddRegistry, &QPushButton::clicked, this, [this] { bAddRegistryClick(); });
  connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(lvContent, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActions(); });
  connect(lvContent, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (aEdit->isEnabled()) aEdit->trigger();
  });
  UpdateActions();
}

void TfrmNewCustomItem::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmNewCustomItem::FormShow() {
  setWindowTitle("Edit Custom Item");
  lvContent->clear();
  try {
    for (const std::string& entry : ReadCustomList(programFolder_)) AddRow(entry);
  } catch (const EIniFileError& e) {
    prompt_.Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Error});
  }
  UpdateActions();
}

void TfrmNewCustomItem::AddRow(const std::string& text) {
  lvContent->addTopLevelItem(new QTreeWidgetItem(QStringList{Q(text)}));
}

std::vector<std::string> TfrmNewCustomItem::Rows() const {
  std::vector<std::string> rows;
  for (int i = 0; i < lvContent->topLevelItemCount(); ++i) rows.push_back(lvContent->topLevelItem(i)->text(0).toStdString());
  return rows;
}

void TfrmNewCustomItem::bAddFolderClick() {
  TfrmAddFolder dialog(target_, hooks_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  AddRow(dialog.EntryText());
  UpdateActions();
}

void TfrmNewCustomItem::bAddRegistryClick() {
  TfrmAddRegistry dialog(target_, hooks_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  AddRow(dialog.EntryText());
  UpdateActions();
}

void TfrmNewCustomItem::aEditExecute() {
  QTreeWidgetItem* row = lvContent->currentItem();
  if (!row || !row->isSelected() || !IsRegistryEntry(row->text(0).toStdString())) return;
  TfrmAddRegistry dialog(target_, hooks_, this);
  dialog.SetEntry(SplitRegistryEntry(row->text(0).toStdString()));
  if (dialog.exec() != QDialog::Accepted) return;
  row->setText(0, Q(dialog.EntryText()));
  UpdateActions();
}

void TfrmNewCustomItem::aRemoveExecute() {
  QTreeWidgetItem* row = lvContent->currentItem();
  if (!row || !row->isSelected()) return;
  const int index = lvContent->indexOfTopLevelItem(row);
  delete row;
  const int count = lvContent->topLevelItemCount();
  if (count > 0) {
    QTreeWidgetItem* next = lvContent->topLevelItem(std::min(index, count - 1));
    lvContent->setCurrentItem(next);
    next->setSelected(true);
    lvContent->setFocus();
  }
  UpdateActions();
}

void TfrmNewCustomItem::aOKExecute() {
  if (lvContent->topLevelItemCount() == 0) return;
  try {
    SaveCustomList(programFolder_, Rows());
  } catch (const EIniFileError& e) {
    // Nothing was written: the list stays open so that it is not lost.
    prompt_.Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Error});
    return;
  }
  accept();
}

void TfrmNewCustomItem::UpdateActions() {
  QTreeWidgetItem* row = lvContent->currentItem();
  const bool selected = row && row->isSelected();
  aEdit->setEnabled(selected && IsRegistryEntry(row->text(0).toStdString()));
  aRemove->setEnabled(selected);
  aOK->setEnabled(lvContent->topLevelItemCount() > 0);
}

}  // namespace kestrove
