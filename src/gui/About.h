// The About box.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <QString>

#include "app/Prompt.h"

namespace kestrove {

inline constexpr const char* kVersionText = kProductVersion;

// Kestrove has no website: the help opens the manual that comes with the program, and the
// home page and the update check say so.
inline constexpr const char* kNoWebsite =
    "Kestrove has no website. Its manual is the README.md file that comes with the program; Help opens it.";
inline constexpr const char* kNoUpdateService =
    "Kestrove has no website to look for a newer version on; the About box says which version this is.";
inline constexpr const char* kNoManual =
    "Kestrove has no website, and its manual (README.md) was not found beside the program.";

// The manual: README.md beside the program file in `programDir`, in the folder above it (a
// build folder inside the source tree) or where an installation keeps documentation
// (../share/doc/kestrove). Empty when there is none.
QString FindManual(const QString& programDir);

class TfrmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmAbout(QWidget* parent);
  QPushButton* bOK;
};

}  // namespace kestrove
