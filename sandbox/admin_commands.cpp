#include "admin_commands.h"

#include <cstdlib>
#include <map>
#include <optional>

#include "admin_client.h"
#include "error.h"
#include "summary.h"
#include "text.h"

namespace trellisant::sandbox {
namespace {

struct Misuse : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "--name value" options after the positional words; "--json" stands alone.
struct Line {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  bool json = false;
};

Line parse(const std::vector<std::string>& arguments) {
  Line line;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--json") {
      line.json = true;
    } else if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= arguments.size()) throw Misuse(arg + " needs a value.");
      line.options[arg.substr(2)] = arguments[++i];
    } else {
      line.words.push_back(arg);
    }
  }
  return line;
}

std::string take(Line& line, const std::string& name) {
  auto it = line.options.find(name);
  if (it == line.options.end()) return {};
  std::string value = it->second;
  line.options.erase(it);
  return value;
}

std::optional<std::int64_t> number(Line& line, const std::string& name) {
  std::string text = take(line, name);
  if (text.empty()) return std::nullopt;
  auto value = parseInt64(text);
  if (!value || *value < 0) throw Misuse("--" + name + " must be a whole number.");
  return *value;
}

void noneLeft(const Line& line) {
  if (!line.options.empty()) throw Misuse("unknown option --" + line.options.begin()->first + ".");
}

int send(Line& line, AdminClient& client, std::ostream& out) {
  if (line.words.size() != 1) throw Misuse("send takes one folder.");
  DeliveryDescription description{take(line, "id"), take(line, "company"), take(line, "project"),
                                  take(line, "name")};
  noneLeft(line);
  Json delivery = client.send(line.words[0], description);
  if (line.json) {
    out << delivery.dump(2) << "\n";
    return 0;
  }
  out << "Sent \"" << delivery.at("name").get<std::string>() << "\" ("
      << delivery.at("companyName").get<std::string>() << " / "
      << delivery.at("projectName").get<std::string>() << "): " << delivery.at("files").size()
      << " files, " << delivery.at("totalBytes").get<std::string>() << " bytes, delivery id "
      << delivery.at("id").get<std::string>() << "\n";
  return 0;
}

int fault(Line& line, AdminClient& client, std::ostream& out) {
  if (line.words.size() != 1) throw Misuse("fault takes one kind, or clear.");
  if (line.words[0] == "clear") {
    noneLeft(line);
    client.clearFaults();
    out << "Provider faults cleared.\n";
    return 0;
  }
  Json body = {{"kind", line.words[0]}};
  if (auto bytes = number(line, "bytes")) body["bytes"] = *bytes;
  if (auto status = number(line, "status")) body["status"] = *status;
  if (auto times = number(line, "times")) body["times"] = *times;
  if (auto location = take(line, "location"); !location.empty()) body["location"] = location;
  if (auto file = take(line, "file"); !file.empty()) body["fileId"] = file;
  noneLeft(line);
  client.fault(body);
  out << "Provider fault set: " << line.words[0] << "\n";
  return 0;
}

}  // namespace

bool isAdminCommand(const std::string& word) {
  return word == "send" || word == "summary" || word == "fault";
}

const char* adminCommandsHelp() {
  return R"(Driving a running sandbox (through its admin endpoint on 127.0.0.1):
  trellisant-sandbox send FOLDER [--company C] [--project P] [--name N] [--id ID] [--json]
      Offers FOLDER's files as a new delivery and signals the event stream.
  trellisant-sandbox summary [--json]
      Shows what the sandbox saw: heartbeats, leases, progress, file completions, and
      (with --json) every request, including the storage provider's Range headers.
  trellisant-sandbox fault KIND [--bytes N] [--status N] [--location URL] [--file ID] [--times N]
  trellisant-sandbox fault clear
      Makes the storage provider misbehave, or behave again. KIND is one of whole-file
      (200 instead of 206), close-after (closes after --bytes), trickle (--bytes per
      second), server-error, redirect, wrong-total, star-total, gzip, extra-byte,
      slow-loris (one byte every --bytes milliseconds).
  Each takes --admin-port N when the sandbox was started with another admin port.
)";
}

int runAdminCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  // The endpoint is on loopback; a proxy of the user's would only get in the way.
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  try {
    Line line = parse(arguments);
    auto port = number(line, "admin-port");
    if (port && *port > 65535) throw Misuse("--admin-port must be a port number.");
    AdminClient client(static_cast<int>(port.value_or(kDefaultAdminPort)));
    const std::string& command = arguments.at(0);
    if (command == "send") return send(line, client, out);
    if (command == "fault") return fault(line, client, out);
    if (!line.words.empty()) throw Misuse("summary takes no folder.");
    noneLeft(line);
    Json summary = client.summary();
    out << (line.json ? summary.dump(2) + "\n" : summaryText(summary));
    return 0;
  } catch (const Misuse& error) {
    err << "trellisant-sandbox: " << error.what() << "\nRun trellisant-sandbox --help for the options.\n";
    return 2;
  } catch (const std::exception& error) {
    err << "trellisant-sandbox: " << userMessage(error) << "\n";
    return 1;
  }
}

}  // namespace trellisant::sandbox
