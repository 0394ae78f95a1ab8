// The editor of the user's own clean list (Custom.dat, section "<New List>") and its two
// entry dialogs. Each row of the editor is one entry text, exactly as the file stores it.
#pragma once

#include <QAction>
#include <QButtonGroup>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/Prompt.h"
#include "cleaner/CustomList.h"
#include "platform/TargetSystem.h"

namespace kestrove {

// The folder picker and the registry editor, which tests replace.
struct TCustomListHooks {
  // The chosen folder as a Windows path; empty when none was chosen.
  std::function<QString(const QString& current)> BrowseFolder;
  std::function<void()> LaunchRegedit;
};

// A file, a mask of files, or a whole folder.
class TfrmAddFolder : public QDialog {
  Q_OBJECT

 public:
  TfrmAddFolder(TargetSystem& target, TCustomListHooks hooks, QWidget* parent);

  QGroupBox* gbFolder;
  QLineEdit* eFolder;
  QPushButton* bBrowse;
  QGroupBox* rgOptions;
  QRadioButton* rbSingleFile;
  QRadioButton* rbFolderFiles;
  QGroupBox* gbSelectFile;
  QListWidget* lbFile;
  QGroupBox* gbWashMode;
  QRadioButton* rbDeleteFolder;
  QRadioButton* rbDeleteFiles;
  QLineEdit* eFileMatch;
  QLabel* lExample;
  // Why the cleaner would skip the entry; the entry is refused while it shows.
  QLabel* lRefusal;
  QAction* aOK;
  QPushButton* bOK;
  QPushButton* bCancel;

  // 0: one file of the folder; 1: the folder or a mask of its files.
  int OptionIndex() const { return rbFolderFiles->isChecked() ? 1 : 0; }
  void SetOptionIndex(int index);
  void bBrowseClick();
  void rgOptionsClick();
  std::string EntryText() const;

 private:
  bool FolderExists() const;
  void UpdateActions();

  TargetSystem& target_;
  TCustomListHooks hooks_;
  QString listedFolder_;  // the folder whose files lbFile shows
};

// A registry key, all values of a key, or one value.
class TfrmAddRegistry : public QDialog {
  Q_OBJECT

 public:
  TfrmAddRegistry(TargetSystem& target, TCustomListHooks hooks, QWidget* parent);

  QLabel* lRegistryKey;
  QPushButton* bLaunchRegedit;
  QLineEdit* eRegistryKey;
  QLabel* lKeyHint;
  QRadioButton* rbWashKey;
  QRadioButton* rbWashAllValues;
  QRadioButton* rbWashValue;
  QLabel* lRegistryValue;
  QLineEdit* eRegistryValue;
  QLabel* lRefusal;
  QAction* aOK;
  QPushButton* bOK;
  QPushButton* bCancel;

  void SetEntry(const TRegistryEntry& entry);
  std::string EntryText() const;

 private:
  void UpdateActions();

  TargetSystem& target_;
  TCustomListHooks hooks_;
};

class TfrmNewCustomItem : public QDialog {
  Q_OBJECT

 public:
  // `programFolder` with its trailing separator.
  TfrmNewCustomItem(TargetSystem& target, std::string programFolder, IPrompt& prompt, TCustomListHooks hooks,
                    QWidget* parent);

  QTreeWidget* lvContent;
  QPushButton* bAddFolder;
  QPushButton* bAddRegistry;
  QPushButton* bEdit;
  QPushButton* bRemove;
  QPushButton* bOK;
  QPushButton* bCancel;
  QAction* aEdit;
  QAction* aRemove;
  QAction* aOK;

  void FormShow();
  void bAddFolderClick();
  void bAddRegistryClick();
  void aEditExecute();
  void aRemoveExecute();
  void aOKExecute();
  std::vector<std::string> Rows() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void AddRow(const std::string& text);
  void UpdateActions();

  TargetSystem& target_;
  std::string programFolder_;
  IPrompt& prompt_;
  TCustomListHooks hooks_;
};

}  // namespace kestrove
