#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <functional>
#include <list>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include <QMetaObject>
#include <QObject>

#include "error.h"

namespace trellisant::app {

// What a background task ended with: its value, or the exception it threw.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;
  bool ok() const { return !error; }
};

// Runs blocking work (network, systemctl, waits) on threads of its own and hands each outcome
// back to the thread of `context`, where the model's fields live. Destruction asks every
// running task to stop and waits for it; outcomes not yet delivered are dropped.
class BackgroundTasks {
 public:
  explicit BackgroundTasks(QObject* context) : context_(context) {}
  ~BackgroundTasks() {
    for (auto& thread : threads_) thread.request_stop();
  }
  BackgroundTasks(const BackgroundTasks&) = delete;
  BackgroundTasks& operator=(const BackgroundTasks&) = delete;

  template <class T>
  void run(std::function<T(std::stop_token)> work, std::function<void(Outcome<T>)> done) {
    auto slot = threads_.emplace(threads_.end());
    *slot = std::jthread([this, slot, work = std::move(work), done = std::move(done)](
                             std::stop_token stop) mutable {
      Outcome<T> outcome;
      try {
        outcome.value.emplace(work(stop));
      } catch (...) {
        outcome.error = std::current_exception();
      }
      QMetaObject::invokeMethod(
          context_,
          [this, slot, done = std::move(done), outcome = std::move(outcome)]() mutable {
            slot->join();  // the thread has nothing left to do but return
            threads_.erase(slot);
            done(std::move(outcome));
          },
          Qt::QueuedConnection);
    });
  }

  // From inside a task: runs `call` on the context's thread and returns its value. Throws
  // Cancelled when `stop` is requested first, as it is when the owner goes away.
  template <class T>
  T callOnContext(std::function<T()> call, std::stop_token stop) {
    struct Answer {
      std::mutex mutex;
      std::condition_variable_any ready;
      std::optional<T> value;
      std::exception_ptr error;
      bool done = false;
    };
    auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        context_,
        [call = std::move(call), answer] {
          std::optional<T> value;
          std::exception_ptr error;
          try {
            value.emplace(call());
          } catch (...) {
            error = std::current_exception();
          }
          std::lock_guard lock(answer->mutex);
          answer->value = std::move(value);
          answer->error = error;
          answer->done = true;
          answer->ready.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(answer->mutex);
    if (!answer->ready.wait(lock, stop, [&] { return answer->done; })) throw Cancelled();
    if (answer->error) std::rethrow_exception(answer->error);
    return std::move(*answer->value);
  }

 private:
  QObject* context_;
  std::list<std::jthread> threads_;  // touched on the context's thread only
};

}  // namespace trellisant::app
