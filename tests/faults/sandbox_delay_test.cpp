// The sandbox's held answers, which the crash and power-loss scenarios aim at without noticing
// when they fail: the moment between a report and its answer would silently never come.

#include <gtest/gtest.h>

#include "admin_client.h"
#include "admin_server.h"
#include "api/http.h"

namespace trellisant::sandbox {
namespace {

TEST(SandboxFaults, HeldAnswersAreHeld) {
  CompanyServer::Options options;
  options.tls = false;
  CompanyServer company(options);
  company.start();
  AdminServer admin(company, nullptr, 0);
  admin.start();
  for (const char* hold : {"delayMs", "delayAfterMs"}) {
    AdminClient(admin.port()).inject({{"method", "GET"}, {"path", "/api/v1/native/events"}, {hold, 400}, {"times", 1}});
    http::Request request;
    request.url = company.baseUrl() + "/api/v1/native/events";
    auto started = std::chrono::steady_clock::now();
    http::perform(request);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400)) << hold;
  }
}

}  // namespace
}  // namespace trellisant::sandbox
