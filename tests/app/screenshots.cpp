// Renders the window, the tray menu and the background dialog in the states a person should
// look at, as PNG files in the folder given as the only argument. Run by scripts/screenshots.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QSystemTrayIcon>
#include <QMenu>
#include <QPainter>

#include "app_fakes.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "settings/vault.h"
#include "symbols.h"
#include "theme.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

// One private home and one set of fakes per picture.
struct Stage {
  TempHome home;
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeFolderChooser> chooser = std::make_shared<FakeFolderChooser>();
  std::optional<AgentStatus> agent;
  std::unique_ptr<app::AppModel> model;
  int listener = -1;

  ~Stage() {
    model.reset();
    if (listener >= 0) ::close(listener);
    Vault::setStore(nullptr);
  }

  void signIn() {
    Credentials credentials;
    credentials.server = "https://trellisant.example";
    credentials.accessToken = "access";
    credentials.refreshToken = "refresh";
    credentials.clientId = "trellisant-native";
    credentials.expiresAt = SystemClock::now() + 1h;
    credentials.deviceId = "device";
    credentials.deviceKey = "key";
    Vault::save(credentials);
  }

  void chooseFolder(bool receiving) {
    auto folder = home.root() / "Footage";
    std::filesystem::create_directories(folder);
    Preferences preferences = Preferences::load();
    preferences.setDestination(folder);
    preferences.destinationLabel = "Footage on Studio SSD";
    preferences.receiving = receiving;
    preferences.save(Preferences::file());
    if (receiving) loginItem->setStatus(LoginItemStatus::enabled);
  }

  app::AppModel& start() {
    app::AppServices services;
    services.loginItem = loginItem;
    services.agentStatus = [this] { return agent; };
    services.now = [] { return SystemClock::now(); };
    services.browser = std::make_shared<FakeBrowser>();
    services.folderChooser = chooser;
    services.notifier = std::make_shared<FakeNotifier>();
    services.notificationsAvailable = [] { return true; };
    services.quit = [] {};
    services.activate = [] {};
    services.refreshInterval = 1h;
    model = std::make_unique<app::AppModel>(std::move(services));
    if (agent) waitUntil([&] { return model->status().message == agent->message; });
    return *model;
  }

  // A loopback server that never answers, so a sign-in stays in progress.
  std::string silentServer() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
};

AgentStatus agentSays(std::string state, std::string message, std::string transfer = {}, std::int64_t bytes = 0,
                      std::int64_t total = 0) {
  return AgentStatus{std::move(state), std::move(message), std::move(transfer), bytes, total, SystemClock::now()};
}

bool saveWindow(app::AppModel& model, const QString& file, const QSize& size = {920, 660}) {
  app::MainWindow window(model);
  window.resize(size);
  window.show();
  settle(150ms);
  bool saved = window.grab().save(file);
  std::printf("%s\n", qPrintable(file));
  return saved;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  app::theme::applyLightScheme(app);
  QDir out(QString::fromLocal8Bit(argv[1]));
  out.mkpath(".");
  auto path = [&](const char* name) { return out.filePath(QString::fromUtf8(name) + ".png"); };
  bool ok = true;

  {
    Stage stage;
    ok &= saveWindow(stage.start(), path("01-signed-out"));
  }
  {
    Stage stage;
    auto& model = stage.start();
    model.changePreferences([&](Preferences& p) { p.server = stage.silentServer(); });
    model.signIn();
    ok &= saveWindow(model, path("02-signing-in"));
  }
  {
    Stage stage;
    stage.signIn();
    ok &= saveWindow(stage.start(), path("03-no-folder"));
  }
  {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(false);
    ok &= saveWindow(stage.start(), path("04-receiving-off"));
  }
  {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("ready", "Ready to receive your company’s footage.");
    ok &= saveWindow(stage.start(), path("05-ready"));
  }
  {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("downloading", "Downloading 4 of 12 files from Northwind Pictures.",
                            "Northwind Pictures / Harbor Lights / Day 3 dailies", 18'430'000'000, 41'200'000'000);
    auto& model = stage.start();
    ok &= saveWindow(model, path("06-downloading"));
    app::TrayMenu tray(model);
    ok &= tray.menu()->grab().save(path("09-tray-receiving"));
    tray.icon()->icon().pixmap(64, 64).save(path("11-tray-icon-downloading"));
  }
  {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("needs_attention", "Your download disk is full. Free up space to resume.");
    stage.loginItem->failRegister("Failed to enable unit: Unit file trellisant-agent.service is masked.");
    auto& model = stage.start();
    model.enable();
    ok &= saveWindow(model, path("07-needs-attention"));
  }
  {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("ready", "Ready to receive your company’s footage.");
    auto& model = stage.start();
    model.setSelected("Settings");
    ok &= saveWindow(model, path("08-settings"), {920, 1180});
    model.pauseReceiving();
    app::TrayMenu tray(model);
    ok &= tray.menu()->grab().save(path("10-tray-paused"));
    tray.icon()->icon().pixmap(64, 64).save(path("12-tray-icon"));
    app::BackgroundDialog dialog(model);
    dialog.show();
    settle(100ms);
    ok &= dialog.grab().save(path("13-background-settings"));
  }
  {
    Stage stage;
    auto& model = stage.start();
    model.setSelected("Settings");
    ok &= saveWindow(model, path("14-settings-signed-out"), {820, 560});
  }
  {
    Stage stage;
    auto& model = stage.start();
    app::MainWindow window(model);
    window.show();
    auto start = stage.home.root() / "Footage";
    std::filesystem::create_directories(start);
    app::DialogFolderChooser chooser([&]() -> QWidget* { return &window; });
    chooser.choose(start, [](std::optional<std::filesystem::path>) {});
    settle(150ms);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) {
        ok &= dialog->grab().save(path("17-folder-chooser"));
        dialog->reject();
      }
    }
  }
  {
    // Every symbol the window uses, large, to judge the drawings.
    const char* names[] = {"arrow.down.left.arrow.up.right", "arrow.down.circle", "arrow.down.circle.fill",
                           "slider.horizontal.3", "hammer", "arrow.up.right.square", "arrow.up.right",
                           "exclamationmark.circle", "checkmark.shield", "lock.shield", "tray.and.arrow.down",
                           "film", "externaldrive", "checkmark.circle"};
    QPixmap sheet(7 * 96, 2 * 96);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    int i = 0;
    for (const char* name : names) {
      QRect cell((i % 7) * 96, (i / 7) * 96, 96, 96);
      app::bundledSymbolIcon(name, app::theme::brand()).paint(&painter, cell.adjusted(24, 12, -24, -36));
      painter.setFont(app::theme::font(8));
      painter.drawText(cell.adjusted(2, 64, -2, 0), Qt::AlignHCenter | Qt::TextWrapAnywhere, name);
      ++i;
    }
    painter.end();
    ok &= sheet.save(path("15-symbols"));
    ok &= app::appIcon().pixmap(128, 128).save(path("16-app-icon"));
  }
  return ok ? 0 : 1;
}
