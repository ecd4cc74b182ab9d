#include "world_driver.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "api/http.h"
#include "digest.h"
#include "fileio.h"
#include "settings/paths.h"

namespace trellisant::e2e {
namespace fs = std::filesystem;

namespace {

fs::path worldFolder() {
  const char* world = std::getenv("TRELLISANT_WORLD");
  if (!world || !*world)
    throw std::runtime_error("the end-to-end tests run inside scripts/world only");
  return world;
}

// Lines of `text` that start with two spaces and then "https://", trimmed.
std::optional<std::string> printedAddress(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.rfind("  https://", 0) == 0) return line.substr(2);
    at = end + 1;
  }
  return std::nullopt;
}

std::string describe(const std::optional<AgentStatus>& status) {
  if (!status) return "no status.json";
  return "state \"" + status->state + "\", message \"" + status->message + "\", bytes " +
         std::to_string(status->bytes) + " of " + std::to_string(status->total);
}

}  // namespace

Programs& programs() {
  static Programs instance;
  return instance;
}

World::World() : folder_(worldFolder()), logs_(folder_ / "logs") {
  fs::create_directories(logs_);
  // Installed programs sit side by side: trellisantctl finds the agent beside itself.
  fs::create_directories(folder_ / "bin");
  fs::copy_file(programs().agent, folder_ / "bin" / "trellisant-agent");
  fs::copy_file(programs().ctl, folder_ / "bin" / "trellisantctl");
  sandbox_ = Child::start({programs().sandbox.string(), "--world", "--summary-json",
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
  try {
    stopAgents();
  } catch (const std::exception&) {
    // The world's end takes every process with it anyway.
  }
  sandbox_.signal(SIGTERM);
  sandbox_.wait(10s);
}

Output World::ctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {(folder_ / "bin" / "trellisantctl").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, logs_);
}

std::string World::ctlOk(const std::vector<std::string>& arguments) {
  Output output = ctl(arguments);
  if (output.status != 0) {
    throw std::runtime_error("trellisantctl " + (arguments.empty() ? "" : arguments[0]) +
                             " failed (" + std::to_string(output.status) + "): " + output.err);
  }
  return output.out;
}

std::pair<Child, std::string> World::startSignIn() {
  ctlOk({"server", kServer});
  static int count = 0;
  fs::path log = logs_ / ("sign-in-" + std::to_string(++count) + ".log");
  Child child = Child::start({(folder_ / "bin" / "trellisantctl").string(), "sign-in"}, log, true);
  std::optional<std::string> address;
  waitUntil([&] { return (address = printedAddress(readFile(log).value_or(""))).has_value() || !child.running(); },
            20s);
  if (!address) throw std::runtime_error("sign-in printed no address: " + readFile(log).value_or(""));
  return {std::move(child), *address};
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
  auto status = child.wait(30s);
  if (status != 0) throw std::runtime_error("trellisantctl sign-in failed");
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
    for (std::int64_t left = file.size; left > 0;) {
      for (auto& word : block) word = random();
      auto chunk = std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size() * 8));
      out.write(reinterpret_cast<const char*>(block.data()), chunk);
      left -= chunk;
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  return base;
}

Json World::send(const fs::path& folder, const std::string& name) {
  return admin_.send(folder, sandbox::DeliveryDescription{"", "Acme", "Feature", name});
}

std::string World::fileId(const Json& delivery, const std::string& relativePath) {
  for (const auto& file : delivery.at("files")) {
    if (file.at("relativePath") == relativePath) return file.at("id").get<std::string>();
  }
  throw std::runtime_error("the delivery has no file " + relativePath);
}

fs::path World::destination(const fs::path& root, const Json& delivery) const {
  return root / delivery.at("companyName").get<std::string>() /
         delivery.at("projectName").get<std::string>() /
         (delivery.at("transferId").get<std::string>().substr(0, 8) + " " +
          delivery.at("name").get<std::string>());
}

std::optional<AgentStatus> World::status() const {
  auto text = readFile(AgentStatus::file());
  if (!text) return std::nullopt;
  return decodeAgentStatus(*text);
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
    if (fs::read_symlink(entry.path() / "exe", unreadable) == target && !unreadable)
      pids.push_back(std::stoi(name));
  }
  return pids;
}

void World::killAgents() {
  for (pid_t pid : agents()) ::kill(pid, SIGKILL);
  if (!waitUntil([&] { return agents().empty(); }, 10s, 20ms))
    throw std::runtime_error("the agent outlived SIGKILL");
}

void World::stopAgents() {
  for (pid_t pid : agents()) ::kill(pid, SIGTERM);
  if (!waitUntil([&] { return agents().empty(); }, 10s, 50ms)) {
    for (pid_t pid : agents()) ::kill(pid, SIGKILL);
  }
}

std::optional<std::pair<std::int64_t, std::string>> World::journal(const std::string& deliveryId,
                                                                   const std::string& fileId) const {
  fs::path file = Paths::support() / "downloads.sqlite";
  if (!fs::exists(file)) return std::nullopt;
  sqlite3* db = nullptr;
  std::optional<std::pair<std::int64_t, std::string>> row;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT offset, state FROM files WHERE delivery = ? AND file = ?", -1,
                           &statement, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(statement, 1, deliveryId.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(statement, 2, fileId.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(statement) == SQLITE_ROW) {
        row = std::pair{sqlite3_column_int64(statement, 0),
                        std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)))};
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return row;
}

std::optional<std::int64_t> World::partialSize(const fs::path& folder, const std::string& fileId) {
  struct stat info {};
  fs::path partial = folder / (".trellisant-" + fileId + ".partial");
  if (::stat(partial.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_size);
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::error_code sizeA, sizeB;
  if (fs::file_size(a, sizeA) != fs::file_size(b, sizeB) || sizeA || sizeB) return false;
  std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
  std::vector<char> x(1 << 20), y(1 << 20);
  while (left && right) {
    left.read(x.data(), static_cast<std::streamsize>(x.size()));
    right.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (left.gcount() != right.gcount() ||
        !std::equal(x.begin(), x.begin() + left.gcount(), y.begin()))
      return false;
  }
  return left.eof() && right.eof();
}

std::string sha256Of(const fs::path& file) {
  auto digest = sha256HexOfFile(file);
  if (!digest) throw std::runtime_error("cannot read " + file.string());
  return *digest;
}

std::vector<Json> forFile(const Json& list, const std::string& fileId) {
  std::vector<Json> out;
  for (const auto& entry : list) {
    if (entry.contains("fileId") && entry.at("fileId") == fileId) out.push_back(entry);
  }
  return out;
}

std::vector<Json> forDelivery(const Json& list, const std::string& deliveryId) {
  std::vector<Json> out;
  for (const auto& entry : list) {
    if (entry.contains("deliveryId") && entry.at("deliveryId") == deliveryId) out.push_back(entry);
  }
  return out;
}

}  // namespace trellisant::e2e
