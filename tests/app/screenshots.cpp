// Renders the window, the tray menu and the background dialog in the states a person should
// look at, as PNG files in the folder given as the first argument; the names that follow, if
// any, choose the pictures. Run by scripts/screenshots.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QToolButton>

#include "app_fakes.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "app_scene.h"
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
    model = std::make_unique<app::AppModel>(services());
    if (agent) waitUntil([&] { return model->status().message == agent->message; });
    return *model;
  }

  app::AppServices services() {
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
    return services;
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

bool save(const QPixmap& picture, const QString& file) {
  std::printf("%s\n", qPrintable(file));
  return picture.save(file);
}

bool saveWindow(app::AppModel& model, const QString& file, const QSize& size = {920, 660}) {
  app::MainWindow window(model);
  window.resize(size);
  window.show();
  settle(150ms);
  return save(window.grab(), file);
}

// The window as a desktop without a tray shows it: the menu button in the header, and its menu
// dropped down below it.
bool saveWithoutTray(Stage& stage, const QString& window, const QString& opened) {
  app::AppScene scene(stage.services());
  scene.showWindow();
  settle(150ms);
  bool ok = save(scene.window().grab(), window);
  QPixmap picture = scene.window().grab();
  QToolButton* button = scene.window().view()->menuButton();
  QMenu* menu = button->menu();
  menu->adjustSize();
  QPainter painter(&picture);
  QPoint corner = button->mapTo(&scene.window(), QPoint(button->width() - menu->width(), button->height() + 2));
  painter.drawPixmap(corner, menu->grab());
  painter.end();
  return ok && save(picture, opened);
}

// Each control of both sections as the Tab key leaves it: focused, with its ring.
bool saveFocusRings(app::AppModel& model, const QString& file) {
  app::MainWindow window(model);
  QMenu menu;
  window.view()->setMenu(&menu);
  window.resize(920, 1180);
  window.show();
  window.activateWindow();
  settle(150ms);
  QList<QPixmap> crops;
  QList<QWidget*> seen;
  for (const char* section : {"Downloads", "Settings"}) {
    model.setSelected(section);
    settle(50ms);
    for (int step = 0; step < 40; ++step) {
      QWidget* from = QApplication::focusWidget();
      QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
      QApplication::sendEvent(from ? from : &window, &tab);
      QWidget* control = QApplication::focusWidget();
      if (!control || seen.contains(control)) continue;
      seen << control;
      QRect area(control->mapTo(&window, QPoint(-8, -8)), control->size() + QSize(16, 16));
      crops << window.grab(area.intersected(window.rect()));
    }
  }
  QSize size;
  for (const QPixmap& crop : crops)
    size = {std::max(size.width(), crop.width()), size.height() + crop.height() + 4};
  QPixmap sheet(size);
  sheet.fill(app::theme::windowBackground());
  QPainter painter(&sheet);
  int y = 0;
  for (const QPixmap& crop : crops) {
    painter.drawPixmap(0, y, crop);
    y += crop.height() + 4;
  }
  painter.end();
  return save(sheet, file);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FOLDER [PICTURE...]\n", argv[0]);
    return 2;
  }
  app::theme::applyLightScheme(app);
  runEventsWhileWaiting();
  QDir out(QString::fromLocal8Bit(argv[1]));
  out.mkpath(".");
  QStringList only = app.arguments().mid(2);
  auto wanted = [&](const char* name) { return only.isEmpty() || only.contains(QString::fromUtf8(name)); };
  auto path = [&](const char* name) { return out.filePath(QString::fromUtf8(name) + ".png"); };
  bool ok = true;

  if (wanted("01-signed-out")) {
    Stage stage;
    ok &= saveWindow(stage.start(), path("01-signed-out"));
  }
  if (wanted("02-signing-in")) {
    Stage stage;
    auto& model = stage.start();
    model.changePreferences([&](Preferences& p) { p.server = stage.silentServer(); });
    model.signIn();
    ok &= saveWindow(model, path("02-signing-in"));
  }
  if (wanted("03-no-folder")) {
    Stage stage;
    stage.signIn();
    ok &= saveWindow(stage.start(), path("03-no-folder"));
  }
  if (wanted("04-receiving-off")) {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(false);
    ok &= saveWindow(stage.start(), path("04-receiving-off"));
  }
  if (wanted("05-ready")) {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("ready", "Ready to receive your company’s footage.");
    ok &= saveWindow(stage.start(), path("05-ready"));
  }
  if (wanted("06-downloading")) {
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
  if (wanted("07-needs-attention")) {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("needs_attention", "Your download disk is full. Free up space to resume.");
    stage.loginItem->failRegister("Failed to enable unit: Unit file trellisant-agent.service is masked.");
    auto& model = stage.start();
    model.enable();
    ok &= saveWindow(model, path("07-needs-attention"));
  }
  if (wanted("08-settings")) {
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
  if (wanted("14-settings-signed-out")) {
    Stage stage;
    auto& model = stage.start();
    model.setSelected("Settings");
    ok &= saveWindow(model, path("14-settings-signed-out"), {820, 560});
  }
  if (wanted("17-folder-chooser")) {
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
  if (wanted("15-symbols")) {
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
  if (wanted("18-no-tray")) {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("ready", "Ready to receive your company’s footage.");
    ok &= saveWithoutTray(stage, path("18-no-tray"), path("19-no-tray-menu"));
  }
  if (wanted("20-focus-rings")) {
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("ready", "Ready to receive your company’s footage.");
    ok &= saveFocusRings(stage.start(), path("20-focus-rings"));
  }
  if (wanted("21-large-text")) {
    // A desktop whose text is scaled to 150 %: the window's text follows it.
    QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.5);
    QApplication::setFont(large);
    Stage stage;
    stage.signIn();
    stage.chooseFolder(true);
    stage.agent = agentSays("ready", "Ready to receive your company’s footage.");
    auto& model = stage.start();
    ok &= saveWindow(model, path("21-large-text"));
    model.setSelected("Settings");
    ok &= saveWindow(model, path("22-large-text-settings"), {920, 1400});
    QApplication::setFont(normal);
  }
  return ok ? 0 : 1;
}
