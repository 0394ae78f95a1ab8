#include "app/HotkeyText.h"

namespace kestrove {

std::string HotkeyKeyName(std::uint16_t vk, bool* known) {
  if (known) *known = true;
  switch (vk) {
    case 8: return "BackSpace";
    case 9: return "Tab";
    case 12: return "Clear";
    case 13: return "Enter";
    case 16:
    case 17:
    case 18: return "";  // a modifier held alone
    case 19: return "Pause";
    case 20: return "CapsLock";
    case 27: return "Esc";
    case 32: return "Space";
    case 33: return "PageUp";
    case 34: return "PageDown";
    case 35: return "End";
    case 36: return "Home";
    case 37: return "LeftArrow";
    case 38: return "UpArrow";
    case 39: return "RightArrow";
    case 40: return "DownArrow";
    case 44: return "PrintScreen";
    case 45: return "Ins";
    case 46: return "Del";
    case 47: return "Help";
    case 106: return "*";
    case 107: return "+";
    case 108: return "Separator";
    case 109: return "-";
    case 110: return ".";
    case 111: return "/";
    case 144: return "Numlock";
    case 145: return "Scroll";
    default: break;
  }
  if (vk >= 48 && vk <= 90) return std::string(1, static_cast<char>(vk));
  if (vk >= 96 && vk <= 105) return "Num " + std::to_string(vk - 96);
  if (vk >= 112 && vk <= 135) return "F" + std::to_string(vk - 111);
  if (known) *known = false;
  return "";
}

std::string HotkeyModifierText(bool ctrl, bool shift, bool alt) {
  std::string text;
  if (ctrl) text += "Ctrl  ";
  if (shift) text += "Shift  ";
  if (alt) text += "Alt  ";
  return text;
}

std::string HotkeyDisplayText(const TShortcut& s) {
  return HotkeyModifierText(s.IsCtrl, s.IsShift, s.IsAlt) + s.CharString;
}

}  // namespace kestrove
