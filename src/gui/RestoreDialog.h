// The restore dialog: Fix's .reg backups in the backup folder, imported back into the
// registry by the registry editor, or deleted; another folder may be browsed.
#pragma once

#include <QAction>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <string>

#include "app/OptionsSetting.h"
#include "app/Prompt.h"
#include "platform/DesktopServices.h"
#include "regscan/Restore.h"

namespace kestrove {

class TfrmRestore : public QDialog {
  Q_OBJECT

 public:
  TfrmRestore(const TOptionsSetting& options, TRegeditRunner& regedit, IPrompt& prompt, IDesktopServices& desktop,
              QWidget* parent);

  // ---- Components
  QGroupBox* gbFolder;
  QLineEdit* eFolder;
  QPushButton* bBrowseFolder;
  QTreeWidget* ListView1;
  QAction* aRestore;
  QAction* aDelete;
  QPushButton* bRestore;
  QPushButton* bDelete;
  QPushButton* bOpenDirectory;
  QPushButton* bClose;

  // ---- Handlers
  void FormShow();
  void FillList(const std::string& folder);
  void bBrowseFolderClick();
  void aRestoreExecute();
  void aDeleteExecute();
  void bOpenDirectoryClick();

  // The folder browser; by default the desktop's folder dialog. Empty: no choice.
  std::function<QString()> OnBrowseFolder;
  // The system the editor restores into: its own backups are listed first, and another
  // system's backup is put into it only after the user says so.
  TTargetIdentity Identity;
  // Called after the editor ran on the registry, so the window reads it again.
  std::function<void()> OnRegistryChanged;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void UpdateActions();
  // Removes the row and selects the one now at its index, or the last.
  void RemoveRow(QTreeWidgetItem* item);

  const TOptionsSetting& options_;
  TRegeditRunner& regedit_;
  IPrompt& prompt_;
  IDesktopServices& desktop_;
};

}  // namespace kestrove
