#include "download/verify_behind.h"

#include <algorithm>
#include <utility>

#include "clock.h"
#include "error.h"

namespace trellisant {

VerifyBehind::VerifyBehind(int fd, const std::vector<Digest::Kind>& kinds, BlockTap tap,
                           std::int64_t durable)
    : reader_(fd, kinds, std::move(tap)),
      durable_(durable),
      thread_([this](std::stop_token stop) { loop(stop); }) {}

void VerifyBehind::advance(std::int64_t offset) {
  std::lock_guard lock(mutex_);
  durable_ = std::max(durable_, offset);
  changed_.notify_all();
}

std::vector<std::string> VerifyBehind::finish(std::int64_t size, const std::stop_token& stop) {
  throwIfStopped(stop);
  advance(size);
  {
    std::unique_lock lock(mutex_);
    if (!changed_.wait(lock, stop, [&] { return read_ >= size || failure_; })) throw Cancelled();
    if (failure_) std::rethrow_exception(failure_);
  }
  // The reader is waiting for bytes that will not come: stop it before its digests are taken.
  thread_.request_stop();
  thread_.join();
  return reader_.finishHex();
}

void VerifyBehind::loop(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (changed_.wait(lock, stop, [&] { return durable_ > read_; })) {
    const std::int64_t target = durable_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      reader_.readTo(target, stop);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure) {
      failure_ = failure;
      changed_.notify_all();
      return;
    }
    read_ = target;
    changed_.notify_all();
  }
}

}  // namespace trellisant
