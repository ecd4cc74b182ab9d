#include "world_driver.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include "api/http.h"
#include "download/journal.h"
#include "fileio.h"

extern char** environ;

namespace trellisant::e2e {

std::string required(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) throw std::runtime_error(std::string(variable) + " is not set: run inside scripts/world");
  return value;
}

Child::Child(const std::vector<std::string>& argv, const fs::path& log, bool input) {
  int pipeFds[2] = {-1, -1};
  if (input && ::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int error = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (input) ::close(pipeFds[0]);
  input_ = pipeFds[1];
  if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Child::~Child() {
  if (input_ >= 0) ::close(input_);
  if (!running()) return;
  ::kill(pid_, SIGTERM);  // the sandbox writes its summary into the logs as it stops
  if (wait(10s)) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool Child::running() {
  int raw = 0;
  if (!status_ && pid_ > 0 && ::waitpid(pid_, &raw, WNOHANG) == pid_)
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return pid_ > 0 && !status_;
}

void Child::send(const std::string& text) {
  if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("the child's input is closed");
}

std::optional<int> Child::wait(std::chrono::milliseconds limit) {
  waitUntil([&] { return !running(); }, limit, 10ms);
  return status_;
}

std::pair<int, std::string> run(const std::vector<std::string>& argv, const fs::path& logs,
                                std::chrono::seconds limit) {
  static std::atomic<int> counter{0};
  fs::path log = logs / ("run-" + std::to_string(++counter) + ".log");
  int status = Child(argv, log).wait(limit).value_or(-1);
  return {status, readFile(log).value_or("")};
}

World::World()
    : folder_(required("TRELLISANT_WORLD")),
      logs_((fs::create_directories(folder_ / "logs"), folder_ / "logs")),
      sandbox_({required("TRELLISANT_SANDBOX"), "--world", "--summary-json", (logs_ / "summary.json").string()},
               logs_ / "sandbox.log") {
  // Installed programs sit side by side: trellisantctl finds the agent beside itself.
  fs::create_directories(folder_ / "bin");
  fs::copy_file(required("TRELLISANT_AGENT"), agentProgram());
  fs::copy_file(required("TRELLISANT_CTL"), folder_ / "bin" / "trellisantctl");
  auto answers = [&] {
    try {
      return admin_.summary().is_object();
    } catch (const std::exception&) {
      return false;
    }
  };
  if (!waitUntil(answers, 20s))
    throw std::runtime_error("the sandbox did not start: " + readFile(logs_ / "sandbox.log").value_or(""));
}

World::~World() {
  // The world's end takes every process with it anyway.
  if (!signalAgents(SIGTERM)) signalAgents(SIGKILL);
}

std::string World::ctlOk(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {(folder_ / "bin" / "trellisantctl").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto [status, output] = run(argv, logs_);
  if (status != 0) throw std::runtime_error("trellisantctl " + arguments.at(0) + " failed: " + output);
  return output;
}

std::pair<Child, std::string> World::startSignIn() {
  ctlOk({"server", kServer});
  static int count = 0;
  fs::path log = logs_ / ("sign-in-" + std::to_string(++count) + ".log");
  Child child({(folder_ / "bin" / "trellisantctl").string(), "sign-in"}, log, true);
  // The address is the line that starts with two spaces and then "https://".
  std::string address;
  waitUntil(
      [&] {
        std::string text = "\n" + readFile(log).value_or("");
        auto at = text.find("\n  https://"), end = text.find('\n', at + 1);
        if (at != std::string::npos && end != std::string::npos) address = text.substr(at + 3, end - at - 3);
        return !address.empty() || !child.running();
      },
      20s);
  if (address.empty()) throw std::runtime_error("sign-in printed no address: " + readFile(log).value_or(""));
  return {std::move(child), address};
}

std::string World::authorize(const std::string& authorizationUrl) {
  http::Request request;
  request.url = authorizationUrl;
  http::Response response = http::perform(request);
  auto location = response.header("Location");
  if (response.status != 302 || !location)
    throw std::runtime_error("the authorization page answered " + std::to_string(response.status));
  return *location;
}

void World::signIn() {
  auto [child, address] = startSignIn();
  child.send(authorize(address) + "\n");
  if (child.wait(30s) != 0) throw std::runtime_error("trellisantctl sign-in failed");
}

fs::path World::chooseFolder(fs::path root) {
  if (root.empty()) root = fs::path(std::getenv("HOME")) / "Footage";
  fs::create_directories(root);
  ctlOk({"folder", root.string()});
  return root;
}

fs::path World::makeSources(const std::string& name, const std::vector<SourceFile>& files) {
  fs::path base = folder_ / "sources" / name;
  std::mt19937_64 random(std::hash<std::string>{}(name));
  std::vector<std::uint64_t> block(MiB / 8);
  for (const auto& file : files) {
    fs::path path = base / file.relativePath;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    for (std::int64_t left = file.size; left > 0; left -= MiB) {
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), std::min(left, MiB));
    }
  }
  return base;
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

std::optional<AgentStatus> World::status() const {
  auto text = readFile(AgentStatus::file());
  return text ? decodeAgentStatus(*text) : std::nullopt;
}

AgentStatus World::waitForStatus(const std::function<bool(const AgentStatus&)>& accept,
                                 std::chrono::milliseconds limit, const std::string& what) const {
  std::optional<AgentStatus> last;
  if (waitUntil([&] { return (last = status()) && accept(*last); }, limit, 50ms)) return *last;
  throw std::runtime_error("waited in vain for " + what + "; last: " +
                           (last ? last->state + " \"" + last->message + "\"" : "no status.json"));
}

AgentStatus World::waitForState(const std::string& state, std::chrono::milliseconds limit,
                                const std::string& message) const {
  return waitForStatus(
      [&](const AgentStatus& s) { return s.state == state && (message.empty() || s.message == message); },
      limit, state + " " + message);
}

std::vector<pid_t> World::agents() const {
  std::vector<pid_t> pids;
  fs::path target = fs::canonical(agentProgram());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename().string();
    std::error_code unreadable;  // zombies have no executable; most entries are no process
    if (fs::read_symlink(entry.path() / "exe", unreadable) == target && !unreadable) pids.push_back(std::stoi(name));
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
  if (sqlite3_open_v2(Journal::file().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
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
  char* sql = sqlite3_mprintf("SELECT offset, state FROM files WHERE delivery = %Q AND file = %Q",
                              deliveryId.c_str(), fileId.c_str());
  auto rows = journalQuery(sql);
  sqlite3_free(sql);
  if (rows.empty()) return std::nullopt;
  return std::pair{std::stoll(rows[0][0]), rows[0][1]};
}

std::optional<std::int64_t> World::partialSize(const fs::path& folder, const std::string& fileId) {
  std::error_code error;
  auto size = fs::file_size(partialPath(folder, fileId), error);
  return error ? std::nullopt : std::optional<std::int64_t>(size);
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::error_code sizeA, sizeB;
  if (fs::file_size(a, sizeA) != fs::file_size(b, sizeB) || sizeA || sizeB) return false;
  return testing::sha256Of(a) == testing::sha256Of(b);
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
  for (const auto& relative : filesBelow(destination))
    if (!expected.count(relative)) ADD_FAILURE() << (destination / relative) << " has no source";
  return lost;
}

std::vector<Json> entriesWith(const Json& list, const char* key, const std::string& value) {
  std::vector<Json> out;
  for (const auto& entry : list)
    if (entry.contains(key) && entry.at(key) == value) out.push_back(entry);
  return out;
}

}  // namespace trellisant::e2e
