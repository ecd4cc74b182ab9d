// trellisant-lossy-disk BACKING MOUNTPOINT strict|simple: the server of a LossyDisk. Mounts
// the lossy file system, answers "ready" (or "unavailable REASON") on its standard output and
// then takes one command a line on its standard input, answering each with one line:
//   arm EVENT SKIP MARKER   -> ok          wait MILLISECONDS -> held WHAT | none
//   release                 -> ok          cut TEAR SEED     -> ok
//   remount                 -> ok          figures           -> figures DROPPED TORN UNDONE FAILED
// It unmounts and ends when its input closes. A process of its own: a program that maps a
// file of the disk into memory must never share its address space with the file system.
#include <iostream>
#include <random>
#include <sstream>

#include "lossy_disk_server.h"

namespace trellisant::testing {

using Event = LossyDisk::Event;

std::string Server::command(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "arm") {
    int event = 0;
    LossyDisk::Trap armed;
    in >> event >> armed.skip;
    armed.event = static_cast<Event>(event);
    in >> std::ws;
    std::getline(in, armed.marker);
    std::lock_guard lock(trapMutex);
    trap = armed;
    seen = 0;
  } else if (verb == "wait") {
    long milliseconds = 0;
    in >> milliseconds;
    std::unique_lock lock(trapMutex);
    trapChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [&] { return holding.has_value(); });
    return holding ? "held " + *holding : "none";
  } else if (verb == "release") {
    letHeldGo();
  } else if (verb == "cut") {
    int tear = 0;
    std::uint64_t seed = 0;
    in >> tear >> seed;
    std::mt19937_64 random(seed);
    {
      std::lock_guard lock(mutex);
      off = true;
      model->powerCut(tear ? &random : nullptr);
    }
    letHeldGo();
  } else if (verb == "remount") {
    unmount();
    {
      std::lock_guard lock(mutex);
      off = false;
    }
    mount();
  } else if (verb == "figures") {
    std::lock_guard lock(mutex);
    const auto& f = model->figures();
    return "figures " + std::to_string(f.bytesDropped) + " " + std::to_string(f.bytesTorn) + " " +
           std::to_string(f.namesUndone) + " " + std::to_string(f.undoFailures);
  } else {
    return "error unknown command " + verb;
  }
  return "ok";
}

}  // namespace trellisant::testing

int main(int argc, char** argv) {
  using trellisant::testing::LossyDisk;
  if (argc != 4) {
    std::cerr << "usage: trellisant-lossy-disk BACKING MOUNTPOINT strict|simple\n";
    return 2;
  }
  trellisant::testing::Server server;
  try {
    server.open(argv[1], argv[2], std::string(argv[3]) == "strict");
  } catch (const std::exception& error) {
    std::cout << "unavailable " << error.what() << std::endl;
    return 0;
  }
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    try {
      std::cout << server.command(line) << std::endl;
    } catch (const std::exception& error) {
      std::cout << "error " << error.what() << std::endl;
    }
  }
  server.unmount();
  return 0;
}
