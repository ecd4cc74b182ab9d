#include "world_driver.h"

#include "receipt/media_hash.h"
#include "receipt/mhl_xml.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <random>

#include "download/journal.h"
#include "fileio.h"
#include "settings/paths.h"

namespace trellisant::e2e {

std::string required(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) throw std::runtime_error(std::string(variable) + " is not set: run inside scripts/world");
  return value;
}

namespace {

// A shell command that runs `argv` with its output in `log` (the tests' arguments hold no quote).
std::string command(const std::vector<std::string>& argv, const fs::path& log, std::string text = "exec") {
  for (const auto& arg : argv) text += " '" + arg + "'";
  return text + " >'" + log.string() + "' 2>&1";
}

}  // namespace

std::pair<int, std::string> run(const std::vector<std::string>& argv, const fs::path& logs,
                                std::chrono::seconds limit) {
  static int count = 0;
  fs::path log = logs / ("run-" + std::to_string(++count) + ".log");
  std::string limited = "exec timeout -s KILL " + std::to_string(limit.count());
  int raw = std::system((command(argv, log, limited) + " </dev/null").c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(log).value_or("")};
}

World::World() : folder_(required("TRELLISANT_WORLD")), logs_(folder_ / "logs") {
  // Installed programs sit side by side: trellisantctl finds the agent beside itself.
  for (const auto& folder : {folder_ / "bin", logs_}) fs::create_directories(folder);
  fs::copy_file(required("TRELLISANT_AGENT"), agentProgram());
  fs::copy_file(required("TRELLISANT_CTL"), folder_ / "bin" / "trellisantctl");
  sandbox_ = ::popen(command({required("TRELLISANT_SANDBOX"), "--world", "--summary-json", logs_ / "summary.json"},
                             logs_ / "sandbox.log").c_str(), "w");
  auto answers = [&] { try { return admin_.summary().is_object(); } catch (const std::exception&) { return false; } };
  if (!waitUntil(answers, 20s)) throw std::runtime_error("the sandbox did not start; see " + logs_.string());
}

World::~World() {
  // The world's end takes every process with it anyway; the sandbox writes its summary as it stops.
  if (!signalAgents(SIGTERM)) signalAgents(SIGKILL);
  for (pid_t pid : processes(required("TRELLISANT_SANDBOX"))) ::kill(pid, SIGTERM);
  ::pclose(sandbox_);
}

std::pair<int, std::string> World::ctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {(folder_ / "bin" / "trellisantctl").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, logs_);
}

std::string World::ctlOk(const std::vector<std::string>& arguments) {
  auto [status, output] = ctl(arguments);
  if (status != 0) throw std::runtime_error("trellisantctl " + arguments.at(0) + " failed: " + output);
  return output;
}

std::pair<FILE*, std::string> World::startSignIn(const fs::path& log) {
  ctlOk({"server", kServer});
  fs::remove(log);  // an earlier sign-in's address is not this one's
  FILE* input = ::popen(command({folder_ / "bin" / "trellisantctl", "sign-in"}, log).c_str(), "w");
  // The address is the line that starts with two spaces and then "https://".
  auto printed = [&] {
    std::string text = readFile(log).value_or("");
    auto at = text.find("  https://"), end = text.find('\n', at);
    return end == std::string::npos ? std::string() : text.substr(at + 2, end - at - 2);
  };
  waitUntil([&] { return !printed().empty(); }, 20s);
  return {input, printed()};
}

void World::signIn() {
  auto [input, address] = startSignIn(logs_ / "sign-in.log");
  std::fputs((testing::locationOf(address) + "\n").c_str(), input);
  if (::pclose(input) != 0) throw std::runtime_error("trellisantctl sign-in failed");
}

fs::path World::chooseFolder(fs::path root) {
  fs::create_directories(root);
  ctlOk({"folder", root.string()});
  return root;
}

fs::path World::makeSources(const std::string& name, const std::vector<SourceFile>& files) {
  std::mt19937 random(std::hash<std::string>{}(name));
  for (const auto& [relativePath, size] : files) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    fs::create_directories((folder_ / "sources" / name / relativePath).parent_path());
    testing::writeText(folder_ / "sources" / name / relativePath, bytes);
  }
  return folder_ / "sources" / name;
}

Json World::send(const fs::path& folder, const std::string& name) {
  return admin_.send(folder, sandbox::DeliveryDescription{"", "Acme", "Feature", name});
}

std::string World::fileId(const Json& delivery, const std::string& relativePath) {
  for (const auto& file : delivery.at("files"))
    if (file.at("relativePath") == relativePath) return file.at("id").get<std::string>();
  throw std::runtime_error("the delivery has no file " + relativePath);
}

fs::path World::destination(const fs::path& root, const Json& delivery) {
  return root / delivery.at("companyName").get<std::string>() / delivery.at("projectName").get<std::string>() /
         (delivery.at("transferId").get<std::string>().substr(0, 8) + " " + delivery.at("name").get<std::string>());
}

AgentStatus World::waitForState(const std::string& state, std::chrono::milliseconds limit,
                                const std::vector<std::string>& messages) const {
  std::optional<AgentStatus> last;
  auto wanted = [&] {
    last = decodeAgentStatus(readFile(Paths::statusFile()).value_or(""));
    return last && last->stateWord() == state &&
           (messages.empty() || std::count(messages.begin(), messages.end(), last->message));
  };
  if (waitUntil(wanted, limit, 50ms)) return *last;
  throw std::runtime_error("waited in vain for " + state + "; last: " + (last ? last->message : ""));
}

std::vector<pid_t> processes(const fs::path& program) {
  std::vector<pid_t> pids;
  fs::path target = fs::canonical(program);
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::error_code none;  // zombies have no executable; most entries are no process
    if (fs::read_symlink(entry.path() / "exe", none) == target) pids.push_back(std::stoi(entry.path().filename()));
  }
  return pids;
}

bool World::signalAgents(int number, std::chrono::milliseconds limit) const {
  for (pid_t pid : agents()) ::kill(pid, number);
  return waitUntil([&] { return agents().empty(); }, limit, 20ms);
}

std::vector<std::vector<std::string>> journalQuery(const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(Paths::journalFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_busy_timeout(db, 2000) == SQLITE_OK) {
    auto add = [](void* out, int count, char** values, char**) {
      static_cast<decltype(rows)*>(out)->emplace_back(values, values + count);
      return 0;
    };
    sqlite3_exec(db, sql.c_str(), add, &rows, nullptr);
  }
  sqlite3_close(db);
  return rows;
}

std::optional<std::pair<std::int64_t, std::string>> World::journal(const std::string& deliveryId,
                                                                   const std::string& fileId) {
  // The ids hold no quote: the sandbox makes them, or a hostile test chooses them.
  auto rows = journalQuery("SELECT offset, state FROM files WHERE delivery = '" + deliveryId + "' AND file = '" +
                           fileId + "'");
  return rows.empty() ? std::nullopt : std::optional(std::pair{std::stoll(rows[0][0]), rows[0][1]});
}

std::optional<std::int64_t> World::partialSize(const fs::path& folder, const std::string& fileId) {
  std::error_code error;
  auto size = fs::file_size(partialPath(folder, fileId), error);
  return error ? std::nullopt : std::optional<std::int64_t>(size);
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::error_code sizeA, sizeB;
  return fs::file_size(a, sizeA) == fs::file_size(b, sizeB) && !sizeA && !sizeB &&
         testing::sha256Of(a) == testing::sha256Of(b);
}

std::set<std::string> filesBelow(const fs::path& folder, const std::vector<std::string>& skipping) {
  std::set<std::string> out;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string relative = it->path().lexically_relative(folder).string();
    std::error_code kind;
    if (std::find(skipping.begin(), skipping.end(), relative) != skipping.end()) it.disable_recursion_pending();
    else if (!it->is_directory(kind)) out.insert(relative);
  }
  return out;
}

std::int64_t compareTrees(const fs::path& source, const fs::path& destination) {
  std::int64_t lost = 0;
  std::set<std::string> expected = filesBelow(source);
  for (const auto& relative : expected) {
    if (sameBytes(source / relative, destination / relative)) continue;
    ADD_FAILURE() << (destination / relative) << " is missing or differs from its source";
    lost += static_cast<std::int64_t>(fs::file_size(source / relative));
  }
  for (const auto& relative : filesBelow(destination, {"ascmhl"}))
    if (!expected.count(relative)) ADD_FAILURE() << (destination / relative) << " has no source";
  return lost;
}

std::vector<std::string> generations(const fs::path& folder) {
  auto chain = Mhl::parseChain(readFile(folder / "ascmhl" / "ascmhl_chain.xml").value_or(""));
  std::vector<std::string> names;
  for (const auto& entry : chain.value_or(std::vector<Mhl::ChainEntry>{})) names.push_back(entry.path);
  return names;
}

std::vector<std::string> receiptFaults(const fs::path& folder) {
  std::vector<std::string> faults;
  const fs::path history = folder / "ascmhl";
  auto chainText = readFile(history / "ascmhl_chain.xml");
  auto chain = Mhl::parseChain(chainText.value_or(""));
  if (chainText && !chain) faults.push_back(folder.string() + ": the chain does not load");
  for (const auto& entry : chain.value_or(std::vector<Mhl::ChainEntry>{})) {
    auto bytes = readFile(history / entry.path);
    if (!bytes || hashBytes(*bytes, {HashFormat::c4}).at(HashFormat::c4) != entry.c4)
      faults.push_back(folder.string() + ": the chain lists " + entry.path + ", which is not there whole");
  }
  std::error_code error;
  for (const auto& file : fs::directory_iterator(history, error))
    if (file.path().extension() == ".mhl" && !Mhl::parseManifest(readFile(file.path()).value_or("")))
      faults.push_back(file.path().string() + " is torn");
  return faults;
}

std::vector<Json> entriesWith(const Json& list, const char* key, const std::string& value) {
  std::vector<Json> out;
  std::copy_if(list.begin(), list.end(), std::back_inserter(out),
               [&](const Json& entry) { return entry.value(key, Json()) == value; });
  return out;
}

}  // namespace trellisant::e2e
