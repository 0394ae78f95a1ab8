// The desktop the window runs on: its clipboard, and its top-level windows by class.
#pragma once

#include "gui/GuiOwnerThread.h"
#include "platform/DesktopServices.h"

namespace kestrove {

class TQtDesktop : public IDesktopServices {
 public:
  explicit TQtDesktop(TQtOwnerThread& owner) : owner_(owner) {}

  // On an X11 display: whether a top-level window's WM_CLASS (instance or class name) equals
  // `className`. Elsewhere (Wayland, no display) no window can be found: false.
  bool TopLevelWindowOfClassExists(std::string_view className) override;
  // Empties the window system's clipboard; false once the window has gone away.
  bool EmptyClipboard() override;
  // The desktop's handler for the path (xdg-open on most desktops), not waited for.
  void ShellOpen(const std::string& path) override;
  void OpenWebAddress(const std::string& address) override;

 private:
  TQtOwnerThread& owner_;
};

}  // namespace kestrove
