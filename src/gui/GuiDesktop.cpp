#include "gui/GuiDesktop.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QUrl>
#include <QGuiApplication>
#include <cstdlib>
#include <string>
#include <vector>

#if KESTROVE_HAVE_XCB
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#endif

namespace kestrove {

namespace {

#if KESTROVE_HAVE_XCB && QT_CONFIG(xcb)
// WM_CLASS holds two strings, the instance name and the class name, each ending in a NUL.
bool HasClass(xcb_connection_t* c, xcb_window_t window, std::string_view className) {
  xcb_get_property_cookie_t cookie =
      xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 512);
  xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr);
  if (!reply) return false;  // the window went away meanwhile
  bool found = false;
  const int length = xcb_get_property_value_length(reply);
  if (length > 0) {
    const char* data = static_cast<const char*>(xcb_get_property_value(reply));
    std::string_view all(data, static_cast<std::size_t>(length));
    while (!all.empty() && !found) {
      std::size_t end = all.find('\0');
      std::string_view part = all.substr(0, end);
      found = part == className;
      if (end == std::string_view::npos) break;
      all.remove_prefix(end + 1);
    }
  }
  std::free(reply);
  return found;
}

std::vector<xcb_window_t> Children(xcb_connection_t* c, xcb_window_t window) {
  std::vector<xcb_window_t> result;
  xcb_query_tree_reply_t* reply = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
  if (!reply) return result;
  const xcb_window_t* children = xcb_query_tree_children(reply);
  result.assign(children, children + xcb_query_tree_children_length(reply));
  std::free(reply);
  return result;
}

bool X11WindowOfClassExists(std::string_view className) {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) return false;
  xcb_connection_t* c = x11->connection();
  for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it)) {
    // A window manager puts each program's window inside a frame of its own: look one level
    // below the root's children as well.
    for (xcb_window_t top : Children(c, it.data->root)) {
      if (HasClass(c, top, className)) return true;
      for (xcb_window_t inner : Children(c, top))
        if (HasClass(c, inner, className)) return true;
    }
  }
  return false;
}
#else
bool X11WindowOfClassExists(std::string_view) { return false; }
#endif

}  // namespace

bool TQtDesktop::TopLevelWindowOfClassExists(std::string_view className) {
  bool found = false;
  owner_.TrySend([&] { found = X11WindowOfClassExists(className); });
  return found;
}

bool TQtDesktop::EmptyClipboard() {
  bool done = false;
  owner_.TrySend([&] {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
      clipboard->clear(QClipboard::Clipboard);
      done = true;
    }
  });
  return done;
}

void TQtDesktop::ShellOpen(const std::string& path) {
  owner_.TrySend([&] { QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path))); });
}

void TQtDesktop::OpenWebAddress(const std::string& address) {
  const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != "http" && scheme != "https" && scheme != "ftp")) return;
  owner_.TrySend([&] { QDesktopServices::openUrl(url); });
}

}  // namespace kestrove
