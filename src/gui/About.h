// The About box.
#pragma once

#include <QDialog>
#include <QPushButton>

#include "app/Prompt.h"

namespace kestrove {

// Where the product's pages live; the help, home and update pages are paths below it (the
// home page is kProductHomePage).
inline constexpr const char* kProductSite = "https://kestrove.example";
inline constexpr const char* kSupportAddress = "support@kestrove.example";
inline constexpr const char* kHelpPagePath = "/help/overview.htm";
inline constexpr const char* kHomePagePath = "/index.html";
inline constexpr const char* kUpdatePagePath = "/update/v1_1.htm";
inline constexpr const char* kVersionText = kProductVersion;

class TfrmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmAbout(QWidget* parent);
  QPushButton* bOK;
};

}  // namespace kestrove
