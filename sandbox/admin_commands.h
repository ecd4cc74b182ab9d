#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trellisant::sandbox {

// Whether `word` names a subcommand that drives a running sandbox: send, summary, fault.
bool isAdminCommand(const std::string& word);

// Runs one such subcommand line (starting with its name) against the admin endpoint. Returns
// the exit status: 0 done, 1 failed (the reason on `err`), 2 misuse.
int runAdminCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// The usage lines of the subcommands, for --help.
const char* adminCommandsHelp();

}  // namespace trellisant::sandbox
