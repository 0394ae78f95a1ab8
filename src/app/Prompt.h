// Questions and messages from jobs and window logic: a modal box in the window, the terminal
// or a fixed policy in the command-line tool, scripted answers in tests.
#pragma once

#include <string>

namespace kestrove {

enum class TMsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class TMsgIcon { None, Information, Warning, Question, Error };
enum class TMsgResult { Ok, Cancel, Yes, No };

struct TMessageRequest {
  std::string Caption;  // "Kestrove" for the program's own boxes
  std::string Text;
  TMsgButtons Buttons = TMsgButtons::Ok;
  TMsgIcon Icon = TMsgIcon::None;
  int DefaultButton = 0;  // 0 the first button, 1 the second...
};

class IPrompt {
 public:
  virtual ~IPrompt() = default;
  // Shows the message and returns the answer. May be called from a worker thread: the
  // implementation brings the question to the window thread and waits.
  virtual TMsgResult Ask(const TMessageRequest& request) = 0;
};

inline constexpr const char* kProductName = "Kestrove";
inline constexpr const char* kProductVersion = "1.1";

}  // namespace kestrove
