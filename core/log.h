#pragma once

#include <functional>
#include <string_view>

namespace trellisant {

// Takes one log line, without its program name and line break.
using LogSink = std::function<void(std::string_view line)>;

// Writes "PROGRAM: LINE\n" to standard error in one piece, so lines of several threads never
// mix. No timestamp: the user manager's journal stamps every line. Control characters (a name
// from the server may hold a line break) are written as \xNN, so one call is one line.
void writeLogLine(std::string_view program, std::string_view line);

}  // namespace trellisant
