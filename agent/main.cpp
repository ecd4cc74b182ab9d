// trellisant-agent: receives deliveries in the background until SIGTERM or SIGINT.
#include <signal.h>

#include <stop_token>
#include <thread>

#include "agent.h"

int main() {
  // Block the stop signals in every thread; one thread waits for them and stops the agent.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::stop_source stop;
  std::jthread waiter([&](std::stop_token own) {
    int received = 0;
    while (!own.stop_requested()) {
      timespec wake{0, 200'000'000};
      siginfo_t info;
      received = sigtimedwait(&signals, &info, &wake);
      if (received == SIGTERM || received == SIGINT) {
        stop.request_stop();
        return;
      }
    }
  });

  {
    trellisant::Agent agent;
    agent.main(stop.get_token());
  }
  waiter.request_stop();
  return 0;
}
