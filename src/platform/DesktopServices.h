// Services of the desktop the program runs on, as far as the jobs need them. The window
// provides the real ones; the command-line tool and tests use TNoDesktop.
#pragma once

#include <string>
#include <string_view>

namespace kestrove {

class IDesktopServices {
 public:
  virtual ~IDesktopServices() = default;
  // Whether a top-level window of this class exists (the Firefox check before a clean).
  virtual bool TopLevelWindowOfClassExists(std::string_view className) = 0;
  // Empties the clipboard; false when there is no clipboard to empty.
  virtual bool EmptyClipboard() = 0;
  // Ends the browser session of the Internet library: nothing to end on this platform.
  virtual void EndBrowserSession() {}
  // Opens a file or folder with the desktop's "Open" action, without waiting; failures are
  // silent. Nothing to open it with: nothing happens.
  virtual void ShellOpen(const std::string&) {}
  // Opens a web address (http, https or ftp) with the desktop's browser, without waiting;
  // failures are silent.
  virtual void OpenWebAddress(const std::string&) {}
};

// No windows, no clipboard: the command-line tool's desktop.
class TNoDesktop : public IDesktopServices {
 public:
  bool TopLevelWindowOfClassExists(std::string_view) override { return false; }
  bool EmptyClipboard() override { return false; }
};

}  // namespace kestrove
