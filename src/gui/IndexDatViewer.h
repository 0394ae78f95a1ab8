// The index.dat viewer of the Tools page: every URL an Internet Explorer index.dat file holds,
// with its time stamp, in a virtual list; a hidden command (Ctrl+Alt+S) offers the
// record-area wipe.
#pragma once

#include <QAbstractTableModel>
#include <QAction>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>
#include <functional>
#include <string>
#include <vector>

#include "app/OptionsSetting.h"
#include "app/Prompt.h"
#include "platform/DesktopServices.h"
#include "platform/TargetSystem.h"

namespace kestrove {

inline constexpr const char* kIndexDatViewerCaption = "Index.dat file viewer";
inline constexpr const char* kIndexDatBadFileName = "Please enter the correct index.dat file name.";

// The rows of the list: the URL texts and their time stamps. Only the rows on screen are
// ever turned into text, so a file of any length opens at once.
class TIndexDatModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void Clear();
  // Appends rows without telling the view; SetItemCount shows them.
  void Append(std::string url, std::uint64_t fileTime);
  void SetItemCount();
  const std::string& Url(int row) const { return urls_[std::size_t(row)]; }
  int Count() const { return int(urls_.size()); }

 private:
  std::vector<std::string> urls_;
  std::vector<std::uint64_t> times_;
  int shown_ = 0;
};

class TfrmIndexDatViewer : public QDialog {
  Q_OBJECT

 public:
  TfrmIndexDatViewer(TargetSystem* target, const TOptionsSetting& options, IPrompt& prompt,
                     IDesktopServices& desktop, QWidget* parent);

  // ---- Components
  QGroupBox* gbFileName;
  QLineEdit* eFileName;
  QPushButton* bBrowseFolder;
  QTreeView* lvIndexDat;
  TIndexDatModel* Model;
  QLabel* lTotal;
  QLabel* pTotal;
  QProgressBar* ProgressBar;
  QPushButton* bDelete;
  QPushButton* bShow;
  QPushButton* bClose;
  QAction* miShow;  // hidden: Ctrl+Alt+S shows bDelete

  // ---- Handlers
  void FormShow();
  void bBrowseFolderClick();
  void bShowClick();
  void bDeleteClick();
  void lvIndexDatDblClick();

  // The open-file dialog; by default the desktop's. Empty: no choice.
  std::function<QString(const QString& folder)> OnBrowseFile;
  // True while a file is being read (Show, Close and Delete wait for it).
  bool Parsing() const { return parsing_; }

 public slots:
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The host file eFileName names: a Windows path of the target, or a path of this machine.
  std::string HostFileName() const;
  void SetBusy(bool busy);

  TargetSystem* target_;
  const TOptionsSetting& options_;
  IPrompt& prompt_;
  IDesktopServices& desktop_;
  bool parsing_ = false;
};

}  // namespace kestrove
