#include "command_table.h"

#include <algorithm>

#include "settings/app_configuration.h"

namespace trellisant::ctl {
namespace {

using Arguments = std::vector<std::string>;

void none(const Arguments& rest) {
  if (!rest.empty()) throw MisuseError("This command takes no argument.");
}

template <void (*command)(CtlParts&)>
void withoutArguments(CtlParts& parts, const Arguments& rest) {
  none(rest);
  command(parts);
}

const std::string& one(const Arguments& rest, const char* misuse) {
  if (rest.size() != 1) throw MisuseError(misuse);
  return rest[0];
}

const std::vector<Command> kCommands = {
    {"status", "[--watch|--json]",
     "Show what the agent is doing, the current delivery's progress, speed and time left; --watch every 2 s.",
     [](CtlParts& p, const Arguments& a) { status(p, a); }},
    {"history", "[--limit N] [--json]",
     "List the deliveries received, newest first (the last 1000, or N); --json for scripts.",
     [](CtlParts& p, const Arguments& a) { history(p, a); }},
    {"sign-in", "", "Sign this computer in to your company's Trellisant server.",
     withoutArguments<signIn>},
    {"sign-out", "", "Turn receiving off, stop the agent and revoke this computer on the server.",
     withoutArguments<signOut>},
    {"folder", "PATH", "Use PATH as the download folder; this turns receiving off.",
     [](CtlParts& p, const Arguments& a) {
       folder(p, one(a, "Name the download folder: trellisantctl folder PATH"));
     }},
    {"enable", "[--linger]", "Turn receiving on and start the agent at login; --linger: after logout too.",
     [](CtlParts& p, const Arguments& a) {
       if (a.size() > 1 || (a.size() == 1 && a[0] != "--linger")) throw MisuseError("enable takes only --linger.");
       enable(p, a.size() == 1);
     }},
    {"pause", "", "Turn receiving off; the agent keeps running and pauses.",
     withoutArguments<pause>},
    {"test", "", "Check sign-in, the download folder and the connection to the server.",
     withoutArguments<test>},
    {"server", "[URL]", "Show the server address, or set it to URL (https).",
     [](CtlParts& p, const Arguments& a) {
       if (a.size() > 1) throw MisuseError("Give at most one server address.");
       server(p, a.empty() ? std::nullopt : std::optional(a[0]));
     }},
    {"bandwidth", "MBPS", "Limit downloads to MBPS megabits per second; 0 for no limit.",
     [](CtlParts& p, const Arguments& a) { bandwidth(p, one(a, "Give the limit: trellisantctl bandwidth MBPS")); }},
    {"overnight", "on|off [--from H --until H]",
     "Keep this computer available overnight, from hour H until hour H (0 to 23).",
     [](CtlParts& p, const Arguments& a) { overnight(p, a); }},
    {"battery", "on|off", "Let downloads run on battery power, or wait for power.",
     [](CtlParts& p, const Arguments& a) { battery(p, one(a, "Say on or off: trellisantctl battery on|off")); }},
    {"verify", "[FOLDER] [--json]",
     "Read a received folder (or every one in the history) again against its ASC MHL receipt.",
     [](CtlParts& p, const Arguments& a) { verify(p, a); }},
    {"--version", "", "Show the version.",
     [](CtlParts& p, const Arguments&) { p.out << AppConfiguration::versionLine(kCtlProgram); }},
    {"--help", "", "Show this help.", [](CtlParts& p, const Arguments&) { p.out << usage(); }},
};

// The words of an argument synopsis, brackets dropped.
std::vector<std::string_view> words(std::string_view arguments) {
  std::vector<std::string_view> out;
  while (!arguments.empty()) {
    auto end = arguments.find(' ');
    auto word = arguments.substr(0, end);
    while (!word.empty() && word.front() == '[') word.remove_prefix(1);
    while (!word.empty() && word.back() == ']') word.remove_suffix(1);
    if (!word.empty()) out.push_back(word);
    arguments.remove_prefix(end == std::string_view::npos ? arguments.size() : end + 1);
  }
  return out;
}

bool placeholder(std::string_view word) {
  return std::all_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// compgen's arguments completing `word`: its alternatives, folders or hours; empty for free text.
std::string compgen(std::string_view word) {
  if (word == "PATH") return "-d";
  if (word == "H") return "-W \"$(seq 0 23)\"";
  if (placeholder(word)) return {};
  std::string alternatives(word);
  std::replace(alternatives.begin(), alternatives.end(), '|', ' ');
  return "-W \"" + alternatives + "\"";
}

std::string reply(const std::string& compgenArguments) {
  return "COMPREPLY=($(compgen " + compgenArguments + " -- \"$cur\"))";
}

std::string roff(std::string_view text) {
  std::string out;
  for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

}  // namespace

const std::vector<Command>& commandTable() { return kCommands; }

const Command* findCommand(std::string_view name) {
  auto found = std::find_if(kCommands.begin(), kCommands.end(), [&](const Command& c) { return c.name == name; });
  return found == kCommands.end() ? nullptr : &*found;
}

std::string usage() {
  std::string text =
      "Usage: trellisantctl COMMAND\n\nControls Trellisant on a computer without a desktop session.\n\nCommands:\n";
  for (const Command& command : kCommands) {
    std::string line = "  " + std::string(command.name);
    if (!command.arguments.empty()) line += " " + std::string(command.arguments);
    line += line.size() < 15 ? std::string(16 - line.size(), ' ') : "\n" + std::string(16, ' ');
    text += line + std::string(command.summary) + "\n";
  }
  return text +
         "\nFailures are printed on standard error; the exit status is then 1 (2 for a\n"
         "command line this program does not understand).\n";
}

std::string bashCompletion() {
  std::string names, cases;
  for (const Command& command : kCommands) {
    names += (names.empty() ? "" : " ") + std::string(command.name);
    auto given = words(command.arguments);
    std::string first = given.empty() ? "" : compgen(given[0]);
    std::string options, after;
    for (std::size_t i = 1; i < given.size(); ++i) {
      if (given[i].substr(0, 2) != "--") continue;
      options += (options.empty() ? "" : " ") + std::string(given[i]);
      if (i + 1 < given.size() && placeholder(given[i + 1]) && !compgen(given[i + 1]).empty())
        after += "        " + std::string(given[i]) + ") " + reply(compgen(given[i + 1])) + " ;;\n";
    }
    std::string name(command.name);
    if (options.empty()) {
      if (!first.empty()) cases += "    " + name + ") [ \"$COMP_CWORD\" -eq 2 ] && " + reply(first) + " ;;\n";
      continue;
    }
    cases += "    " + name + ")\n      case \"$prev\" in\n" + after + "        *) if [ \"$COMP_CWORD\" -eq 2 ]; then " +
             reply(first) + "\n           else " + reply("-W \"" + options + "\"") + "; fi ;;\n      esac ;;\n";
  }
  return "# bash completion for trellisantctl, made from its command table at build time\n"
         "_trellisantctl() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    " + reply("-W \"" + names + "\"") + "\n"
         "    return\n"
         "  fi\n"
         "  case \"${COMP_WORDS[1]}\" in\n" + cases +
         "  esac\n"
         "}\n"
         "complete -F _trellisantctl trellisantctl\n";
}

std::string manSynopsis() {
  std::string text;
  for (const Command& command : kCommands) {
    if (!text.empty()) text += ".br\n";
    text += ".B trellisantctl " + roff(command.name) + "\n";
    if (!command.arguments.empty()) text += ".I \"" + roff(command.arguments) + "\"\n";
  }
  return text;
}

}  // namespace trellisant::ctl
