#include "fake_bus.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace trellisant::testing {

FakeBus::FakeBus(std::filesystem::path socket) : socket_(std::move(socket)) {
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0)
    throw std::runtime_error("fake bus: cannot listen on " + socket_.string());
  thread_ = std::thread([this] { serve(); });
}

FakeBus::~FakeBus() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void FakeBus::handle(const std::string& member, Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_[member] = std::move(handler);
}

int FakeBus::calls(const std::string& member) const {
  std::lock_guard lock(mutex_);
  auto found = counts_.find(member);
  return found == counts_.end() ? 0 : found->second;
}

int FakeBus::dispatch(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeBus*>(userdata);
  std::uint8_t type = 0;
  if (sd_bus_message_get_type(message, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) return 0;
  std::string member = sd_bus_message_get_member(message);
  if (member == "Hello") {
    sd_bus_reply_method_return(message, "s", ":1.1");
    return 1;
  }
  Handler handler;
  {
    std::lock_guard lock(self->mutex_);
    ++self->counts_[member];
    auto found = self->handlers_.find(member);
    if (found != self->handlers_.end()) handler = found->second;
  }
  if (handler) {
    handler(message);
  } else {
    sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_METHOD, "No method %s", member.c_str());
  }
  return 1;
}

void FakeBus::serve() {
  std::vector<sd_bus*> buses;
  while (!stop_) {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    for (sd_bus* bus : buses)
      fds.push_back({sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0});
    ::poll(fds.data(), fds.size(), 20);
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
      sd_bus* bus = nullptr;
      sd_id128_t id;
      sd_id128_randomize(&id);
      sd_bus_new(&bus);
      sd_bus_set_fd(bus, client, client);
      sd_bus_set_server(bus, 1, id);
      sd_bus_negotiate_fds(bus, 1);
      sd_bus_add_filter(bus, nullptr, &FakeBus::dispatch, this);
      if (sd_bus_start(bus) >= 0) {
        buses.push_back(bus);
        ++open_;
      } else {
        sd_bus_unref(bus);
      }
    }
    for (auto it = buses.begin(); it != buses.end();) {
      int r;
      while ((r = sd_bus_process(*it, nullptr)) > 0) {
      }
      if (r < 0) {
        sd_bus_flush_close_unref(*it);
        it = buses.erase(it);
        --open_;
      } else {
        ++it;
      }
    }
  }
  for (sd_bus* bus : buses) sd_bus_flush_close_unref(bus);
}

}  // namespace trellisant::testing
