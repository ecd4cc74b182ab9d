#include "world_driver.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "api/http.h"
#include "fileio.h"
#include "settings/paths.h"

extern char** environ;

namespace trellisant::e2e {
namespace {

int exitStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

std::string describe(const std::optional<AgentStatus>& status) {
  if (!status) return "no status.json";
  return "state \"" + status->state + "\", message \"" + status->message + "\", bytes " +
         std::to_string(status->bytes) + " of " + std::to_string(status->total);
}

}  // namespace

std::string required(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) throw std::runtime_error(std::string(variable) + " is not set: run inside scripts/world");
  return value;
}

// Child ---------------------------------------------------------------------------------------

Child Child::start(const std::vector<std::string>& argv, const fs::path& log, bool input, const fs::path& err) {
  int pipeFds[2] = {-1, -1};
  if (input && ::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (err.empty()) posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Child child;
  int error = ::posix_spawn(&child.pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (input) ::close(pipeFds[0]);
  if (error != 0) {
    if (input) ::close(pipeFds[1]);
    child.pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  child.input_ = pipeFds[1];
  return child;
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    input_ = std::exchange(other.input_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

void Child::release() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

bool Child::running() {
  if (pid_ <= 0 || status_) return false;
  int raw = 0;
  if (::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = exitStatus(raw);
  return !status_;
}

void Child::send(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = input_ < 0 ? -1 : ::write(input_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the child's input is closed");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Child::signal(int number) {
  if (running()) ::kill(pid_, number);
}

std::optional<int> Child::wait(std::chrono::milliseconds limit) {
  waitUntil([&] { return !running(); }, limit, 10ms);
  return status_;
}

Output run(const std::vector<std::string>& argv, const fs::path& logs, std::chrono::seconds limit) {
  static std::atomic<int> counter{0};
  fs::create_directories(logs);
  auto base = (logs / ("run-" + std::to_string(++counter))).string();
  Output output;
  {
    Child child = Child::start(argv, base + ".out", false, base + ".err");
    output.status = child.wait(limit).value_or(-1);
  }
  output.out = readFile(base + ".out").value_or("");
  output.err = readFile(base + ".err").value_or("");
  return output;
}

// World ---------------------------------------------------------------------------------------

World::World() : folder_(required("TRELLISANT_WORLD")), logs_(folder_ / "logs") {
  fs::create_directories(logs_);
  // Installed programs sit side by side: trellisantctl finds the agent beside itself.
  fs::create_directories(folder_ / "bin");
  fs::copy_file(required("TRELLISANT_AGENT"), agentProgram());
  fs::copy_file(required("TRELLISANT_CTL"), folder_ / "bin" / "trellisantctl");
  sandbox_ = Child::start({required("TRELLISANT_SANDBOX"), "--world", "--summary-json",
                           (logs_ / "summary.json").string()},
                          logs_ / "sandbox.log");
  auto answers = [&] {
    try {
      admin_.summary();
      return true;
    } catch (const std::exception&) {
      return false;
    }
  };
  if (!waitUntil([&] { return answers() || !sandbox_.running(); }, 20s) || !answers())
    throw std::runtime_error("the sandbox did not start: " + readFile(logs_ / "sandbox.log").value_or(""));
}

World::~World() {
  // The world's end takes every process with it anyway.
  if (!signalAgents(SIGTERM, 10s)) signalAgents(SIGKILL, 10s);
  sandbox_.signal(SIGTERM);
  sandbox_.wait(10s);
}

std::string World::ctlOk(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {(folder_ / "bin" / "trellisantctl").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Output output = run(argv, logs_);
  if (output.status != 0)
    throw std::runtime_error("trellisantctl " + (arguments.empty() ? "" : arguments[0]) + " failed (" +
                             std::to_string(output.status) + "): " + output.err);
  return output.out;
}

std::pair<Child, std::string> World::startSignIn() {
  ctlOk({"server", kServer});
  static int count = 0;
  fs::path log = logs_ / ("sign-in-" + std::to_string(++count) + ".log");
  Child child = Child::start({(folder_ / "bin" / "trellisantctl").string(), "sign-in"}, log, true);
  // The address is the line that starts with two spaces and then "https://".
  auto address = [&]() -> std::optional<std::string> {
    std::string text = "\n" + readFile(log).value_or("");
    auto at = text.find("\n  https://");
    if (at == std::string::npos) return std::nullopt;
    return text.substr(at + 3, text.find('\n', at + 1) - at - 3);
  };
  waitUntil([&] { return address() || !child.running(); }, 20s);
  if (!address()) throw std::runtime_error("sign-in printed no address: " + readFile(log).value_or(""));
  return {std::move(child), *address()};
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
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  for (const auto& file : files) {
    fs::path path = base / file.relativePath;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    for (std::int64_t left = file.size; left > 0; left -= MiB) {
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), std::min(left, MiB));
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
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

fs::path World::destination(const fs::path& root, const Json& delivery) const {
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
  throw std::runtime_error("waited in vain for " + what + "; last: " + describe(last));
}

AgentStatus World::waitForState(const std::string& state, std::chrono::milliseconds limit,
                                const std::string& message) const {
  return waitForStatus(
      [&](const AgentStatus& s) { return s.state == state && (message.empty() || s.message == message); },
      limit, "\"" + state + "\"" + (message.empty() ? "" : " with \"" + message + "\""));
}

std::vector<pid_t> World::agents() const {
  std::vector<pid_t> pids;
  fs::path target = fs::canonical(agentProgram());
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;  // zombies have no executable
    if (fs::read_symlink(entry.path() / "exe", unreadable) == target && !unreadable) pids.push_back(std::stoi(name));
  }
  return pids;
}

bool World::signalAgents(int number, std::chrono::milliseconds limit) {
  for (pid_t pid : agents()) ::kill(pid, number);
  return waitUntil([&] { return agents().empty(); }, limit, 20ms);
}

void World::killAgents() {
  if (!signalAgents(SIGKILL, 10s)) throw std::runtime_error("the agent outlived SIGKILL");
}

std::optional<std::pair<std::int64_t, std::string>> World::journal(const std::string& deliveryId,
                                                                   const std::string& fileId) const {
  fs::path file = Paths::support() / "downloads.sqlite";
  if (!fs::exists(file)) return std::nullopt;
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  std::optional<std::pair<std::int64_t, std::string>> row;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_busy_timeout(db, 2000) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT offset, state FROM files WHERE delivery = ? AND file = ?", -1, &statement,
                         nullptr) == SQLITE_OK) {
    sqlite3_bind_text(statement, 1, deliveryId.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, fileId.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(statement) == SQLITE_ROW)
      row = std::pair{sqlite3_column_int64(statement, 0),
                      std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)))};
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return row;
}

std::optional<std::int64_t> World::partialSize(const fs::path& folder, const std::string& fileId) {
  struct stat info {};
  if (::stat(partialPath(folder, fileId).c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_size);
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::error_code sizeA, sizeB;
  if (fs::file_size(a, sizeA) != fs::file_size(b, sizeB) || sizeA || sizeB) return false;
  return testing::sha256Of(a) == testing::sha256Of(b);
}

std::vector<Json> entriesWith(const Json& list, const char* key, const std::string& value) {
  std::vector<Json> out;
  for (const auto& entry : list)
    if (entry.contains(key) && entry.at(key) == value) out.push_back(entry);
  return out;
}

}  // namespace trellisant::e2e
