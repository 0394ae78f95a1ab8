// The boss key on an X11 display: one global key combination grabbed on every root window,
// and the hiding and showing of other programs' top-level windows by their WM_CLASS.
// Elsewhere (Wayland without X11, no display, a platform other than xcb) nothing can be
// registered and no window can be found.
#pragma once

#include <QObject>
#include <cstdint>
#include <string>
#include <vector>

#include "app/OptionsSetting.h"

struct _XDisplay;
class QSocketNotifier;

namespace kestrove {

// The window classes the boss key hides for the browsers chosen in the settings: the
// Windows class names, and what the same browsers show on this desktop (under Wine a
// window's WM_CLASS is its program's file name; natively the browser's own name).
std::vector<std::string> BossKeyWindowClasses(const TOptionsSetting& options);

// The X keysym for a Windows virtual-key code; 0 when there is none.
unsigned long KeySymOfVirtualKey(std::uint16_t virtualKey);

class TBossKey : public QObject {
  Q_OBJECT

 public:
  explicit TBossKey(QObject* parent = nullptr);
  ~TBossKey() override;  // releases the grab; hidden windows stay as they are

  // Whether global keys and other programs' windows are reachable: the window runs on an
  // X11 display through Qt's xcb platform, and that display can be opened.
  bool Available();
  // Grabs the combination on every root window, with and without Num Lock and Caps Lock.
  // False when the key has no X key, the combination is taken by another client, or there
  // is no X11 display; nothing stays grabbed then.
  bool Register(const TShortcut& key);
  void Unregister();
  bool Registered() const { return grabbed_; }
  // The display's atom for `name`, interned; 0 without a display.
  std::uint32_t InternAtom(const char* name);

  // Hides every viewable top-level window of another process whose WM_CLASS (either of its
  // two names, without regard to case) is one of `classes`, and remembers it. The windows of
  // this process are never touched. Returns how many were hidden.
  int HideWindows(const std::vector<std::string>& classes);
  // Shows again the windows HideWindows hid that still exist, where they were. Returns how
  // many were shown.
  int ShowHiddenWindows();
  bool HasHiddenWindows() const { return !hidden_.empty(); }

 signals:
  // The combination was pressed (queued: the grab's events are read on the window thread).
  void Pressed();

 private:
  bool Open();
  void Drain();

  _XDisplay* display_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
  bool triedOpen_ = false;
  bool grabbed_ = false;
  unsigned keycode_ = 0;
  unsigned modifiers_ = 0;
  unsigned ignoredModifiers_ = 0;
  std::vector<unsigned long> hidden_;
};

}  // namespace kestrove
