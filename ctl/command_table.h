#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace trellisant::ctl {

// One command of trellisantctl. The parser, the usage, the bash completion and the man page's
// synopsis are all made from these rows: a new command is one more row.
struct Command {
  std::string_view name;
  // As the synopsis shows them: words to type, alternatives joined by "|", optional parts in
  // brackets, upper-case placeholders. The completion offers the words, folders for PATH and
  // hours for H.
  std::string_view arguments;
  // One line for the usage.
  std::string_view summary;
  // Checks the arguments (MisuseError) and runs the command.
  void (*run)(CtlParts& parts, const std::vector<std::string>& arguments);
};

const std::vector<Command>& commandTable();

// The row named `name`; nullptr when there is none.
const Command* findCommand(std::string_view name);

// The --help text.
std::string usage();

// The bash completion script, and the man page's SYNOPSIS lines (roff).
std::string bashCompletion();
std::string manSynopsis();

}  // namespace trellisant::ctl
