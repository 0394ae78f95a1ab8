// Saving the cleaner's log as a text file ("S&ave to text file").
#pragma once

#include <string>
#include <vector>

#include "app/Prompt.h"

namespace kestrove {

// The product's home page, named in the saved log's second line.
inline constexpr const char* kProductHomePage = "https://kestrove.example/index.html";

// The name to write: ".txt" is appended unless the name's extension is exactly ".txt"
// (letter case included, so "log.TXT" becomes "log.TXT.txt").
std::string LogFileName(const std::string& chosen);

// The file's lines: two header lines, an empty line, then the log.
std::vector<std::string> LogFileLines(const std::vector<std::string>& log);

// Asks before replacing an existing file, then writes it (atomically). Returns false when
// the user declined; throws std::runtime_error when the file cannot be written.
bool SaveLogToFile(const std::string& chosen, const std::vector<std::string>& log, IPrompt& prompt);

}  // namespace kestrove
