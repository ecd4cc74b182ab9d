// Renders the window, the tray menu and the background dialog in the states a person should
// look at, as PNG files in the folder given as the first argument; the names that follow, if
// any, choose the pictures. Run by scripts/screenshots.
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QToolButton>

#include "app_fakes.h"
#include "app_scene.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "symbols.h"
#include "theme.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

const char* kReady = "Ready to receive your company’s footage.";

// One private home and one set of fakes per picture: signed in with a folder chosen, receiving
// or not, the agent saying `message` in `state` (nothing: silent).
struct Stage : AppStage {
  explicit Stage(std::optional<bool> receiving = std::nullopt, const char* state = "ready", const char* message = kReady,
                 std::string transfer = {}, std::int64_t bytes = 0, std::int64_t total = 0) {
    if (!receiving) return;
    storeCredentials();
    writePreferences([&](Preferences& p) {
      p.setDestination(folder("Footage"));
      p.destinationLabel = "Footage on Studio SSD";
      p.receiving = *receiving;
    });
    if (!*receiving) return;
    loginItem->set(LoginItemStatus::enabled);
    agentSays(AgentStatus{state, message, std::move(transfer), bytes, total, now});
    said = message;
  }
  app::AppModel& start() {
    makeModel();
    if (!said.empty()) waitUntil([&] { return model->status().message == said; });
    return *model;
  }
  std::string said;
};

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
  QPixmap picture = scene.window().grab();
  bool ok = save(picture, window);
  QToolButton* button = scene.window().view()->menuButton();
  QMenu* menu = button->menu();
  menu->adjustSize();
  QPainter painter(&picture);
  painter.drawPixmap(button->mapTo(&scene.window(), QPoint(button->width() - menu->width(), button->height() + 2)),
                     menu->grab());
  painter.end();
  return ok && save(picture, opened);
}

// Pictures stacked one below the other, 4 pixels apart, on the window's background.
QPixmap stacked(const QList<QPixmap>& pictures) {
  QSize size;
  for (const QPixmap& picture : pictures) size = {std::max(size.width(), picture.width()), size.height() + picture.height() + 4};
  QPixmap sheet(size);
  sheet.fill(app::theme::windowBackground());
  QPainter painter(&sheet);
  int y = 0;
  for (const QPixmap& picture : pictures) {
    painter.drawPixmap(0, y, picture);
    y += picture.height() + 4;
  }
  return sheet;
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
  return save(stacked(crops), file);
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

  if (wanted("01-signed-out")) ok &= saveWindow(Stage().start(), path("01-signed-out"));
  if (wanted("02-signing-in")) {
    Stage stage;
    stage.startCompany();
    stage.start().signIn();
    waitUntil([&] { return stage.model->awaitingSignIn(); });
    ok &= saveWindow(*stage.model, path("02-signing-in"));
  }
  if (wanted("03-no-folder")) {
    Stage stage;
    stage.storeCredentials();
    ok &= saveWindow(stage.start(), path("03-no-folder"));
  }
  if (wanted("04-receiving-off")) ok &= saveWindow(Stage(false).start(), path("04-receiving-off"));
  if (wanted("05-ready")) ok &= saveWindow(Stage(true).start(), path("05-ready"));
  if (wanted("06-downloading")) {
    Stage stage(true, "downloading", "Downloading 4 of 12 files from Northwind Pictures.",
                "Northwind Pictures / Harbor Lights / Day 3 dailies", 18'430'000'000, 41'200'000'000);
    ok &= saveWindow(stage.start(), path("06-downloading"));
    app::TrayMenu tray(*stage.model);
    ok &= save(tray.menu()->grab(), path("09-tray-receiving"));
    tray.icon()->icon().pixmap(64, 64).save(path("11-tray-icon-downloading"));
  }
  if (wanted("07-needs-attention")) {
    Stage stage(true, "needs_attention", "Your download disk is full. Free up space to resume.");
    stage.loginItem->failRegister("Failed to enable unit: Unit file trellisant-agent.service is masked.");
    stage.start().enable();
    waitUntil([&] { return !stage.model->error().isEmpty(); });
    ok &= saveWindow(*stage.model, path("07-needs-attention"));
  }
  if (wanted("08-settings")) {
    Stage stage(true);
    auto& model = stage.start();
    model.setSelected("Settings");
    ok &= saveWindow(model, path("08-settings"), {920, 1180});
    model.pauseReceiving();
    app::TrayMenu tray(model);
    ok &= save(tray.menu()->grab(), path("10-tray-paused"));
    tray.icon()->icon().pixmap(64, 64).save(path("12-tray-icon"));
    app::BackgroundDialog dialog(model);
    dialog.show();
    settle(100ms);
    ok &= save(dialog.grab(), path("13-background-settings"));
  }
  if (wanted("14-settings-signed-out")) {
    Stage stage;
    stage.start().setSelected("Settings");
    ok &= saveWindow(*stage.model, path("14-settings-signed-out"), {820, 560});
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
    for (int i = 0; i < 14; ++i) {
      QRect cell((i % 7) * 96, (i / 7) * 96, 96, 96);
      app::bundledSymbolIcon(names[i], app::theme::brand()).paint(&painter, cell.adjusted(24, 12, -24, -36));
      painter.setFont(app::theme::font(8));
      painter.drawText(cell.adjusted(2, 64, -2, 0), Qt::AlignHCenter | Qt::TextWrapAnywhere, names[i]);
    }
    painter.end();
    ok &= save(sheet, path("15-symbols"));
    ok &= save(app::appIcon().pixmap(128, 128), path("16-app-icon"));
  }
  if (wanted("17-folder-chooser")) {
    Stage stage;
    app::MainWindow window(stage.start());
    window.show();
    app::DialogFolderChooser chooser([&]() -> QWidget* { return &window; });
    chooser.choose(stage.folder("Footage"), [](std::optional<std::filesystem::path>) {});
    settle(150ms);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) {
        ok &= save(dialog->grab(), path("17-folder-chooser"));
        dialog->reject();
      }
    }
  }
  if (wanted("18-no-tray")) {
    Stage stage(true);
    ok &= saveWithoutTray(stage, path("18-no-tray"), path("19-no-tray-menu"));
  }
  if (wanted("20-focus-rings")) ok &= saveFocusRings(Stage(true).start(), path("20-focus-rings"));
  if (wanted("21-large-text")) {
    // A desktop whose text is scaled to 150 %: the window's text follows it.
    QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.5);
    QApplication::setFont(large);
    Stage stage(true);
    auto& model = stage.start();
    ok &= saveWindow(model, path("21-large-text"));
    model.setSelected("Settings");
    ok &= saveWindow(model, path("22-large-text-settings"), {920, 1400});
    QApplication::setFont(normal);
  }
  return ok ? 0 : 1;
}
