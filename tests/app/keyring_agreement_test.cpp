// The app's model and the agent's first pass find the sign-in in the same store: the keyring of
// the session bus (GNOME Keyring on a private bus), and a keyring that does not answer leaves the
// window signed out meanwhile instead of frozen.
#include <gtest/gtest.h>
#include <gio/gio.h>
#include <signal.h>

#include "agent.h"
#include "app_fakes.h"
#include "keyring_session.h"
#include "main_view.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

// The Secret Service's process stopped (SIGSTOP) for the life of the object: it answers nothing.
struct FrozenKeyring {
  FrozenKeyring() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* owner = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
        g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        nullptr);
    g_object_unref(bus);
    if (owner == nullptr) throw std::runtime_error("no Secret Service on the bus");
    g_variant_get(owner, "(u)", &pid);
    g_variant_unref(owner);
    ::kill(static_cast<pid_t>(pid), SIGSTOP);
  }
  ~FrozenKeyring() { ::kill(static_cast<pid_t>(pid), SIGCONT); }
  guint32 pid = 0;
};

}  // namespace

TEST_F(AppModelTest, TheAppAndTheAgentFindTheSignInInTheKeyring) {
  KeyringSession keyring;
  keyring.store(startCompany().issueCredentials(1h, true).toJson().dump());
  {
    FrozenKeyring frozen;
    model = std::make_unique<app::AppModel>(parts());
    EXPECT_EQ(app::MainView(*model).findChild<QLabel*>("statusTitle")->text(), "Connect your company");
  }
  EXPECT_TRUE(waitUntil([&] { return model->signedIn(); }, 20s)) << "once the keyring answers";
  AgentParts parts;
  parts.controlService = false;
  AgentTiming timing;
  timing.betweenPasses = 1ms;
  Agent agent(parts, timing);
  agent.runPass({});
  EXPECT_EQ(AgentStatus::load().stateWord(), "paused") << AgentStatus::load().message;

  keyring.lock();
  agent.runPass({});
  EXPECT_EQ(AgentStatus::load().message, "Unlock your login keyring to reconnect Trellisant.");
  EXPECT_EQ(keyring.prompts(), 0);
}
