// A plain X11 top-level window of a chosen WM_CLASS, standing in for a browser's window in
// the boss-key tests. Usage: kestrove_x11_window INSTANCE CLASS. Prints the window's id once
// it is mapped and lives until its standard input closes.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INSTANCE CLASS\n", argv[0]);
    return 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "no X display\n");
    return 1;
  }
  const int screen = DefaultScreen(d);
  Window w = XCreateSimpleWindow(d, RootWindow(d, screen), 400, 300, 160, 90, 1, BlackPixel(d, screen),
                                 WhitePixel(d, screen));
  XClassHint hint;
  hint.res_name = argv[1];
  hint.res_class = argv[2];
  XSetClassHint(d, w, &hint);
  XStoreName(d, w, argv[2]);
  XSelectInput(d, w, StructureNotifyMask);
  XMapWindow(d, w);
  for (XEvent e;;) {
    XNextEvent(d, &e);
    if (e.type == MapNotify) break;
  }
  std::printf("%lu\n", static_cast<unsigned long>(w));
  std::fflush(stdout);
  // Serve the connection (nothing to draw) until the test closes our input.
  pollfd fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(d), POLLIN, 0}};
  for (;;) {
    while (XPending(d)) {
      XEvent e;
      XNextEvent(d, &e);
    }
    if (poll(fds, 2, -1) < 0) break;
    if (fds[0].revents) {
      char buffer[64];
      if (read(0, buffer, sizeof buffer) <= 0) break;
    }
  }
  XCloseDisplay(d);
  return 0;
}
