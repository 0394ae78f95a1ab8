// The boss key's combination as the options dialog shows it: the held modifiers, each
// followed by two spaces ("Ctrl  Shift  F5"), then the key's name by its virtual-key code.
#pragma once

#include <cstdint>
#include <string>

#include "app/OptionsSetting.h"

namespace kestrove {

// The name the hot-key field gives a virtual-key code: "F5", "Num 3", "Del"... Empty for a
// lone modifier (Shift, Ctrl, Alt) and for a key the field does not take; `known` tells the
// two apart (false: the field is emptied).
std::string HotkeyKeyName(std::uint16_t virtualKey, bool* known = nullptr);

// "Ctrl  ", "Shift  ", "Alt  " for the modifiers present, in that order.
std::string HotkeyModifierText(bool ctrl, bool shift, bool alt);

// The field's text for a stored combination: its modifiers, then its stored key name.
std::string HotkeyDisplayText(const TShortcut& shortcut);

}  // namespace kestrove
