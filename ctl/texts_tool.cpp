// Build step: writes the texts made from the command table.
//   trellisantctl-texts bash OUT            the bash completion
//   trellisantctl-texts man TEMPLATE OUT    the man page, @SYNOPSIS@ and @PROJECT_VERSION@ filled in
#include <iostream>
#include <string>

#include "command_table.h"
#include "error.h"
#include "fileio.h"
#include "settings/app_configuration.h"

using namespace trellisant;

namespace {

std::string filled(std::string text, const std::string& key, const std::string& value) {
  for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "bash" && argc == 3) {
      writeAtomically(argv[2], ctl::bashCompletion(), 0644);
    } else if (what == "man" && argc == 4) {
      auto page = readFile(argv[2]);
      if (!page) throw PlatformError(std::string("Cannot read ") + argv[2]);
      std::string text = filled(*page, "@SYNOPSIS@\n", ctl::manSynopsis());
      writeAtomically(argv[3], filled(text, "@PROJECT_VERSION@", std::string(AppConfiguration::version())), 0644);
    } else {
      std::cerr << "usage: trellisantctl-texts bash OUT | man TEMPLATE OUT\n";
      return 2;
    }
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "trellisantctl-texts: " << userMessage(error) << "\n";
    return 1;
  }
}
