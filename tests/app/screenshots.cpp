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

QDir out;
bool ok = true;

// One private home and one set of fakes per picture: signed in with a folder chosen, receiving
// or not, the agent saying `message` in `state` while receiving.
struct Stage : AppStage {
  explicit Stage(std::optional<bool> receiving = std::nullopt, const char* state = "ready",
                 std::string message = "Ready to receive your company’s footage.", std::string transfer = {},
                 std::int64_t bytes = 0, std::int64_t total = 0) {
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

void save(const QPixmap& picture, const char* name) {
  QString file = out.filePath(QString::fromUtf8(name) + ".png");
  std::printf("%s\n", qPrintable(file));
  ok &= picture.save(file);
}

void saveWindow(app::AppModel& model, const char* name, const QSize& size = {920, 660}) {
  app::MainWindow window(model);
  window.resize(size);
  window.show();
  settle(150ms);
  save(window.grab(), name);
}

// The window as a desktop without a tray shows it, and again with its menu dropped down.
void saveWithoutTray(Stage& stage) {
  app::AppScene scene(stage.services());
  scene.showWindow();
  settle(150ms);
  QPixmap picture = scene.window().grab();
  save(picture, "18-no-tray");
  QToolButton* button = scene.window().view()->menuButton();
  button->menu()->adjustSize();
  QPainter(&picture).drawPixmap(
      button->mapTo(&scene.window(), QPoint(button->width() - button->menu()->width(), button->height() + 2)),
      button->menu()->grab());
  save(picture, "19-no-tray-menu");
}

// Each control of both sections as the Tab key leaves it, focused with its ring, one below the other.
void saveFocusRings(app::AppModel& model) {
  app::MainWindow window(model);
  QMenu menu;
  window.view()->setMenu(&menu);
  window.resize(920, 1180);
  window.show();
  window.activateWindow();
  settle(150ms);
  QList<QPixmap> crops;
  QList<QWidget*> seen;
  QSize size;
  for (const char* section : {"Downloads", "Settings"}) {
    model.setSelected(section);
    settle(50ms);
    for (int step = 0; step < 40; ++step) {
      QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
      QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : &window, &tab);
      QWidget* control = QApplication::focusWidget();
      if (!control || seen.contains(control)) continue;
      seen << control;
      crops << window.grab(QRect(control->mapTo(&window, QPoint(-8, -8)), control->size() + QSize(16, 16)) & window.rect());
      size = {std::max(size.width(), crops.back().width()), size.height() + crops.back().height() + 4};
    }
  }
  QPixmap sheet(size);
  sheet.fill(app::theme::windowBackground());
  QPainter painter(&sheet);
  int y = 0;
  for (const QPixmap& crop : crops) {
    painter.drawPixmap(0, y, crop);
    y += crop.height() + 4;
  }
  painter.end();
  save(sheet, "20-focus-rings");
}

// Every symbol the window uses, large, to judge the drawings.
void saveSymbols() {
  const char* names[] = {"arrow.down.left.arrow.up.right", "arrow.down.circle", "arrow.down.circle.fill",
                         "slider.horizontal.3", "hammer", "arrow.up.right.square", "arrow.up.right",
                         "exclamationmark.circle", "checkmark.shield", "lock.shield", "tray.and.arrow.down",
                         "film", "externaldrive", "checkmark.circle"};
  QPixmap sheet(7 * 96, 2 * 96);
  sheet.fill(Qt::white);
  QPainter painter(&sheet);
  painter.setFont(app::theme::font(8));
  for (int i = 0; i < 14; ++i) {
    QRect cell((i % 7) * 96, (i / 7) * 96, 96, 96);
    app::bundledSymbolIcon(names[i], app::theme::brand()).paint(&painter, cell.adjusted(24, 12, -24, -36));
    painter.drawText(cell.adjusted(2, 64, -2, 0), Qt::AlignHCenter | Qt::TextWrapAnywhere, names[i]);
  }
  painter.end();
  save(sheet, "15-symbols");
  save(app::appIcon().pixmap(128, 128), "16-app-icon");
}

void saveFolderChooser() {
  Stage stage;
  app::MainWindow window(stage.start());
  window.show();
  app::DialogFolderChooser chooser([&]() -> QWidget* { return &window; });
  chooser.choose(stage.folder("Footage"), [](std::optional<std::filesystem::path>) {});
  settle(150ms);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) {
      save(dialog->grab(), "17-folder-chooser");
      dialog->reject();
    }
  }
}

// The tray menu and its icon for the model's state.
void saveTray(app::AppModel& model, const char* menu, const char* icon) {
  app::TrayMenu tray(model);
  save(tray.menu()->grab(), menu);
  save(tray.icon()->icon().pixmap(64, 64), icon);
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
  out.setPath(QString::fromLocal8Bit(argv[1]));
  out.mkpath(".");
  QStringList only = app.arguments().mid(2);
  auto wanted = [&](const char* name) { return only.isEmpty() || only.contains(QString::fromUtf8(name)); };

  if (wanted("01-signed-out")) saveWindow(Stage().start(), "01-signed-out");
  if (wanted("02-signing-in")) {
    Stage stage;
    stage.startCompany();
    stage.start().signIn();
    waitUntil([&] { return stage.model->awaitingSignIn(); });
    saveWindow(*stage.model, "02-signing-in");
  }
  if (wanted("03-no-folder")) {
    Stage stage;
    stage.storeCredentials();
    saveWindow(stage.start(), "03-no-folder");
  }
  if (wanted("04-receiving-off")) saveWindow(Stage(false).start(), "04-receiving-off");
  if (wanted("05-ready")) saveWindow(Stage(true).start(), "05-ready");
  if (wanted("06-downloading")) {
    Stage stage(true, "downloading", "Downloading 4 of 12 files from Northwind Pictures.",
                "Northwind Pictures / Harbor Lights / Day 3 dailies", 18'430'000'000, 41'200'000'000);
    saveWindow(stage.start(), "06-downloading");
    saveTray(*stage.model, "09-tray-receiving", "11-tray-icon-downloading");
  }
  if (wanted("07-needs-attention")) {
    Stage stage(true, "needs_attention", "Your download disk is full. Free up space to resume.");
    stage.loginItem->failRegister("Failed to enable unit: Unit file trellisant-agent.service is masked.");
    stage.start().enable();
    waitUntil([&] { return !stage.model->error().isEmpty(); });
    saveWindow(*stage.model, "07-needs-attention");
  }
  if (wanted("08-settings")) {
    Stage stage(true);
    stage.start().setSelected("Settings");
    saveWindow(*stage.model, "08-settings", {920, 1180});
    stage.model->pauseReceiving();
    saveTray(*stage.model, "10-tray-paused", "12-tray-icon");
    app::BackgroundDialog dialog(*stage.model);
    dialog.show();
    settle(100ms);
    save(dialog.grab(), "13-background-settings");
  }
  if (wanted("14-settings-signed-out")) {
    Stage stage;
    stage.start().setSelected("Settings");
    saveWindow(*stage.model, "14-settings-signed-out", {820, 560});
  }
  if (wanted("15-symbols")) saveSymbols();
  if (wanted("17-folder-chooser")) saveFolderChooser();
  if (wanted("18-no-tray")) {
    Stage stage(true);
    saveWithoutTray(stage);
  }
  if (wanted("20-focus-rings")) saveFocusRings(Stage(true).start());
  if (wanted("21-large-text")) {
    // A desktop whose text is scaled to 150 %: the window's text follows it.
    QFont normal = QApplication::font(), large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.5);
    QApplication::setFont(large);
    Stage stage(true);
    saveWindow(stage.start(), "21-large-text");
    stage.model->setSelected("Settings");
    saveWindow(*stage.model, "22-large-text-settings", {920, 1400});
    QApplication::setFont(normal);
  }
  return ok ? 0 : 1;
}
