#include "gui/About.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QVBoxLayout>

#include "app/Prompt.h"

namespace kestrove {

QString FindManual(const QString& programDir) {
  const QDir dir(programDir);
  for (const char* relative : {"README.md", "../README.md", "../share/doc/kestrove/README.md"}) {
    const QFileInfo file(dir.filePath(relative));
    if (file.isFile()) return file.canonicalFilePath();
  }
  return {};
}

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString("About ") + kProductName);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  auto* name = new QLabel(QString(kProductName) + " " + kVersionText, this);
  QFont f = name->font();
  f.setPointSizeF(f.pointSizeF() * 1.6);
  f.setBold(true);
  name->setFont(f);
  auto* what = new QLabel("Privacy cleaner and registry cleaner for Windows systems.", this);
  auto* links = new QLabel("There is no website and no support address: the manual is the README.md file that\n"
                           "comes with the program (Help opens it).",
                           this);
  bOK = new QPushButton("&OK", this);
  bOK->setDefault(true);
  connect(bOK, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(name);
  layout->addWidget(what);
  layout->addSpacing(8);
  layout->addWidget(links);
  layout->addSpacing(8);
  layout->addWidget(bOK, 0, Qt::AlignRight);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace kestrove
