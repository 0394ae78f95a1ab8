#include "gui/x11/BossKey.h"

#include <unistd.h>

#include <QGuiApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QWindow>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

#if KESTROVE_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#endif

namespace kestrove {

std::vector<std::string> BossKeyWindowClasses(const TOptionsSetting& o) {
  // A browser whose box is not ticked in the options is left alone.
  std::vector<std::string> classes;
  auto add = [&](std::initializer_list<const char*> names) { classes.insert(classes.end(), names.begin(), names.end()); };
  if (o.EnableIE) add({"IEFrame", "iexplore.exe"});
  if (o.EnableNetscape) add({"NS_AE_WindowClass", "netscape.exe", "netscape"});
  if (o.EnableFirefox) add({"MozillaWindowClass", "MozillaUIWindowClass", "firefox.exe", "firefox", "firefox-esr"});
  if (o.EnableOpera) add({"OpWindow", "opera.exe", "opera"});
  if (o.EnableChrome) add({"Chrome_WidgetWin_1", "chrome.exe", "google-chrome", "chromium", "chromium-browser"});
  return classes;
}

#if KESTROVE_HAVE_X11

unsigned long KeySymOfVirtualKey(std::uint16_t vk) {
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);
  if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);
  switch (vk) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0C: return XK_KP_Begin;  // the keypad's 5 without Num Lock, the PC's Clear key
    case 0x0D: return XK_Return;
    case 0x13: return XK_Pause;
    case 0x14: return XK_Caps_Lock;
    case 0x1B: return XK_Escape;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;
    case 0x22: return XK_Next;
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x2C: return XK_Print;
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x2F: return XK_Help;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6C: return XK_KP_Separator;
    case 0x6D: return XK_KP_Subtract;
    case 0x6E: return XK_KP_Decimal;
    case 0x6F: return XK_KP_Divide;
    case 0x90: return XK_Num_Lock;
    case 0x91: return XK_Scroll_Lock;
    case 0xBA: return XK_semicolon;
    case 0xBB: return XK_equal;
    case 0xBC: return XK_comma;
    case 0xBD: return XK_minus;
    case 0xBE: return XK_period;
    case 0xBF: return XK_slash;
    case 0xC0: return XK_grave;
    case 0xDB: return XK_bracketleft;
    case 0xDC: return XK_backslash;
    case 0xDD: return XK_bracketright;
    case 0xDE: return XK_apostrophe;
    default: return 0;
  }
}

namespace {

// X reports errors asynchronously through one process-wide handler. Around our own calls
// (on the window thread, followed by XSync) errors are counted instead of ending the process;
// a window may vanish between listing and hiding it, and a taken key answers BadAccess.
int g_errors = 0;
int CountError(Display*, XErrorEvent*) {
  ++g_errors;
  return 0;
}

class TErrorTrap {
 public:
  explicit TErrorTrap(Display* d) : display_(d) {
    g_errors = 0;
    previous_ = XSetErrorHandler(CountError);
  }
  ~TErrorTrap() { XSetErrorHandler(previous_); }
  // Waits for the server's answers to everything sent so far; true when one was an error.
  bool Failed() {
    XSync(display_, False);
    return g_errors != 0;
  }

 private:
  Display* display_;
  XErrorHandler previous_;
};

unsigned NumLockMask(Display* d) {
  const KeyCode numLock = XKeysymToKeycode(d, XK_Num_Lock);
  unsigned mask = 0;
  XModifierKeymap* map = XGetModifierMapping(d);
  if (!map) return 0;
  for (int m = 0; m < 8 && numLock; ++m)
    for (int k = 0; k < map->max_keypermod; ++k)
      if (map->modifiermap[m * map->max_keypermod + k] == numLock) mask = 1u << m;
  XFreeModifiermap(map);
  return mask;
}

bool SameText(const char* a, const std::string& b) {
  if (!a) return false;
  const std::string s(a);
  return s.size() == b.size() && std::equal(s.begin(), s.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// 0: no WM_CLASS; 1: WM_CLASS that is not one of `classes`; 2: one of them.
int ClassMatch(Display* d, Window w, const std::vector<std::string>& classes) {
  XClassHint hint{};
  if (!XGetClassHint(d, w, &hint)) return 0;
  bool match = false;
  for (const auto& c : classes) match = match || SameText(hint.res_name, c) || SameText(hint.res_class, c);
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return match ? 2 : 1;
}

long WindowPid(Display* d, Window w) {
  const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  long pid = -1;
  if (XGetWindowProperty(d, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
      data) {
    if (format == 32 && count == 1) pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    XFree(data);
  }
  return pid;
}

std::vector<Window> Children(Display* d, Window w) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int n = 0;
  std::vector<Window> result;
  if (XQueryTree(d, w, &root, &parent, &children, &n) && children) {
    result.assign(children, children + n);
    XFree(children);
  }
  return result;
}

bool Viewable(Display* d, Window w) {
  XWindowAttributes a{};
  return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

// This process's own windows, whatever class they carry.
std::set<unsigned long> OwnWindows() {
  std::set<unsigned long> own;
  for (QWindow* w : QGuiApplication::allWindows())
    if (w->handle()) own.insert(static_cast<unsigned long>(w->winId()));
  return own;
}

}  // namespace

TBossKey::TBossKey(QObject* parent) : QObject(parent) {}

TBossKey::~TBossKey() {
  Unregister();
  delete notifier_;
  if (display_) XCloseDisplay(display_);
}

bool TBossKey::Open() {
  if (display_) return true;
  if (triedOpen_) return false;
  triedOpen_ = true;
  if (QGuiApplication::platformName() != "xcb") return false;
  // The display the window itself is on.
  QByteArray name;
  if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
    if (Display* qt = x11->display()) name = DisplayString(qt);
  display_ = XOpenDisplay(name.isEmpty() ? nullptr : name.constData());
  if (!display_) return false;
  notifier_ = new QSocketNotifier(ConnectionNumber(display_), QSocketNotifier::Read);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
  return true;
}

bool TBossKey::Available() { return Open(); }

std::uint32_t TBossKey::InternAtom(const char* name) {
  if (!Open()) return 0;
  return static_cast<std::uint32_t>(XInternAtom(display_, name, False));
}

bool TBossKey::Register(const TShortcut& key) {
  Unregister();
  if (!Open()) return false;
  const KeySym sym = KeySymOfVirtualKey(key.CharAscII);
  const KeyCode code = sym ? XKeysymToKeycode(display_, sym) : 0;
  if (!code) return false;
  const unsigned mods = (key.IsCtrl ? ControlMask : 0) | (key.IsShift ? ShiftMask : 0) | (key.IsAlt ? Mod1Mask : 0);
  const unsigned numLock = NumLockMask(display_);
  keycode_ = code;
  modifiers_ = mods;
  ignoredModifiers_ = LockMask | numLock;
  {
    TErrorTrap trap(display_);
    for (int s = 0; s < ScreenCount(display_); ++s)
      for (unsigned extra : {0u, unsigned(LockMask), numLock, numLock | LockMask})
        XGrabKey(display_, code, mods | extra, RootWindow(display_, s), False, GrabModeAsync, GrabModeAsync);
    grabbed_ = true;
    if (trap.Failed()) Unregister();
  }
  Drain();
  return grabbed_;
}

void TBossKey::Unregister() {
  if (!display_ || !grabbed_) return;
  grabbed_ = false;
  TErrorTrap trap(display_);
  for (int s = 0; s < ScreenCount(display_); ++s)
    for (unsigned extra : {0u, unsigned(LockMask), ignoredModifiers_ & ~unsigned(LockMask), ignoredModifiers_})
      XUngrabKey(display_, keycode_, modifiers_ | extra, RootWindow(display_, s));
  trap.Failed();
}

// Reads what the server sent; a press of the grabbed combination is reported once the
// reading is done, so that a handler that talks to the server again cannot nest in here.
void TBossKey::Drain() {
  if (!display_) return;
  while (XPending(display_)) {
    XEvent e;
    XNextEvent(display_, &e);
    if (e.type == KeyPress && grabbed_ && e.xkey.keycode == keycode_ &&
        (e.xkey.state & ~ignoredModifiers_ & (ControlMask | ShiftMask | Mod1Mask | Mod4Mask)) == modifiers_)
      QMetaObject::invokeMethod(this, [this] { emit Pressed(); }, Qt::QueuedConnection);
  }
}

int TBossKey::HideWindows(const std::vector<std::string>& classes) {
  if (classes.empty() || !Open()) return 0;
  const std::set<unsigned long> own = OwnWindows();
  const long self = ::getpid();
  int count = 0;
  {
    TErrorTrap trap(display_);
    for (int s = 0; s < ScreenCount(display_); ++s) {
      for (Window top : Children(display_, RootWindow(display_, s))) {
        // Under a window manager the program's window sits inside the manager's frame.
        std::vector<Window> candidates{top};
        if (ClassMatch(display_, top, classes) == 0) candidates = Children(display_, top);
        for (Window w : candidates) {
          if (ClassMatch(display_, w, classes) != 2 || own.count(w) || own.count(top)) continue;
          if (WindowPid(display_, w) == self || !Viewable(display_, w)) continue;
          if (std::find(hidden_.begin(), hidden_.end(), w) != hidden_.end()) continue;
          XWithdrawWindow(display_, w, s);
          hidden_.push_back(w);
          ++count;
        }
      }
    }
    trap.Failed();
  }
  Drain();
  return count;
}

int TBossKey::ShowHiddenWindows() {
  if (!display_) return 0;
  int count = 0;
  {
    TErrorTrap trap(display_);
    for (Window w : hidden_) {
      XWindowAttributes a{};
      if (!XGetWindowAttributes(display_, w, &a)) continue;  // closed meanwhile
      XMapWindow(display_, w);
      ++count;
    }
    trap.Failed();
  }
  hidden_.clear();
  XFlush(display_);
  Drain();
  return count;
}

#else  // no X11 at build time: nothing can be registered or found

unsigned long KeySymOfVirtualKey(std::uint16_t) { return 0; }
TBossKey::TBossKey(QObject* parent) : QObject(parent) {}
TBossKey::~TBossKey() = default;
bool TBossKey::Open() { return false; }
bool TBossKey::Available() { return false; }
std::uint32_t TBossKey::InternAtom(const char*) { return 0; }
bool TBossKey::Register(const TShortcut&) { return false; }
void TBossKey::Unregister() {}
void TBossKey::Drain() {}
int TBossKey::HideWindows(const std::vector<std::string>&) { return 0; }
int TBossKey::ShowHiddenWindows() { return 0; }

#endif

}  // namespace kestrove
