#include "gui/About.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/Prompt.h"
#include "cleaner/LogExport.h"

namespace kestrove {

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString("About ") + kProductName);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  auto* name = new QLabel(QString(kProductName) + " " + kVersionText, this);
  QFont f = name->font();
  f.setPointSizeF(f.pointSizeF() * 1.6);
  f.setBold(true);
  name->setFont(f);
  auto* what = new QLabel("Privacy cleaner and registry cleaner for Windows systems.", this);
  const QString site = kProductHomePage;
  auto* links = new QLabel(QString("Home page: <a href=\"%1\">%1</a><br>Support: <a href=\"mailto:%2\">%2</a>")
                               .arg(site, kSupportAddress),
                           this);
  links->setTextFormat(Qt::RichText);
  links->setOpenExternalLinks(true);
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
