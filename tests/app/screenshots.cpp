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

void save(const QPixmap& picture, const QString& name) {
  std::printf("%s\n", qPrintable(out.filePath(name + ".png")));
  ok &= picture.save(out.filePath(name + ".png"));
}

enum Step { signedOut, signedIn, receivingOff, receivingOn };

// The app in a private home: signed out (with the sandbox server to sign in to), signed in,
// or with a folder chosen and receiving off or on, the agent saying `said`.
struct Stage : AppStage {
  explicit Stage(Step step, AgentStatus said = {"ready", "Ready to receive your company’s footage.", "", 0, 0, {}},
                 bool withTray = true) {
    tray = withTray;
    chooser = nullptr;  // the app's own folder dialog
    if (step == signedOut) startCompany();
    if (step == signedIn) storeCredentials();
    if (step >= receivingOff) {
      receiving();
      ReceivingControl::edit([&](Preferences& p) {
        p.destinationLabel = "Footage on Studio SSD";
        p.receiving = step == receivingOn;
      });
    }
    said.updatedAt = now;
    if (step == receivingOn) agentSays(said);
    scene = std::make_unique<app::AppScene>(services());
    if (step == receivingOn) waitUntil([&] { return scene->model().status().message == said.message; });
  }
  app::AppModel& app() { return scene->model(); }
  QPixmap shot(QSize size = {920, 660}) {
    scene->window().resize(size);
    scene->showWindow();
    settle(150ms);
    return scene->window().grab();
  }
  std::unique_ptr<app::AppScene> scene;
};

// Pictures one below the other, on the window's background.
QPixmap column(const QList<QPixmap>& pictures) {
  int height = 0, width = 0;
  for (const QPixmap& picture : pictures) std::tie(width, height) = std::pair(std::max(width, picture.width()), height + picture.height() + 4);
  QPixmap sheet(width, height);
  sheet.fill(app::theme::windowBackground());
  QPainter painter(&sheet);
  for (int y = 0; const QPixmap& picture : pictures) painter.drawPixmap(0, std::exchange(y, y + picture.height() + 4), picture);
  return sheet;
}

// Each control of both sections as the Tab key leaves it, focused with its ring.
QPixmap focusRings(Stage& stage) {
  auto& window = stage.scene->window();
  QList<QPixmap> crops;
  QList<QWidget*> seen;
  for (const char* section : {"Downloads", "Settings"}) {
    stage.app().setSelected(section);
    stage.shot({920, 1180});
    for (int step = 0; step < 40; ++step) {
      QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
      QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : &window, &tab);
      QWidget* control = QApplication::focusWidget();
      if (!control || seen.contains(control)) continue;
      seen << control;
      crops << window.grab(QRect(control->mapTo(&window, QPoint(-8, -8)), control->size() + QSize(16, 16)) & window.rect());
    }
  }
  return column(crops);
}

// Every bundled symbol, large, to judge the drawings, in rows of eight.
QPixmap symbols() {
  app::bundledSymbolIcon("film", {});  // registers the bundled drawings
  QList<QPixmap> rows;
  QStringList names = QDir(":/symbols").entryList();
  names.removeAll("trellisant.svg");  // the app icon, 16-app-icon
  for (QPixmap& row : rows = QList<QPixmap>((names.size() + 7) / 8, QPixmap(8 * 96, 96))) row.fill(Qt::white);
  for (int i = 0; i < names.size(); ++i) {
    QPainter painter(&rows[i / 8]);
    painter.setFont(app::theme::font(8));
    app::bundledSymbolIcon(names[i].chopped(4).toStdString(), app::theme::brand()).paint(&painter, i % 8 * 96 + 24, 12, 48, 48);
    painter.drawText(QRect(i % 8 * 96 + 2, 64, 92, 32), Qt::AlignHCenter | Qt::TextWrapAnywhere, names[i].chopped(4));
  }
  return column(rows);
}

// The tray menu and its icon for the app's state.
void saveTray(Stage& stage, const QString& menu, const QString& icon) {
  save(stage.scene->tray().menu()->grab(), menu);
  save(stage.scene->tray().icon()->icon().pixmap(64, 64), icon);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  app::theme::applyLightScheme(application);
  runEventsWhileWaiting();
  out.setPath(application.arguments().value(1, "."));
  out.mkpath(".");
  QStringList only = application.arguments().mid(2);
  auto take = [&](const QString& name, auto&& picture) {
    if (only.isEmpty() || only.contains(name)) picture(name);
  };
  take("01-signed-out", [](auto name) { save(Stage(signedOut).shot(), name); });
  take("02-signing-in", [](auto name) {
    Stage stage(signedOut);
    stage.app().signIn();
    waitUntil([&] { return stage.app().awaitingSignIn(); });
    save(stage.shot(), name);
  });
  take("03-no-folder", [](auto name) { save(Stage(signedIn).shot(), name); });
  take("04-receiving-off", [](auto name) { save(Stage(receivingOff).shot(), name); });
  take("05-ready", [](auto name) { save(Stage(receivingOn).shot(), name); });
  take("06-downloading", [](auto name) {
    Stage stage(receivingOn, {"downloading", "Downloading 4 of 12 files from Northwind Pictures.",
                              "Northwind Pictures / Harbor Lights / Day 3 dailies", 18'430'000'000, 41'200'000'000, {}});
    save(stage.shot(), name);
    saveTray(stage, "09-tray-receiving", "11-tray-icon-downloading");
  });
  take("07-needs-attention", [](auto name) {
    Stage stage(receivingOn, {"needs_attention", "Your download disk is full. Free up space to resume.", "", 0, 0, {}});
    stage.loginItem->failRegister("Failed to enable unit: Unit file trellisant-agent.service is masked.");
    stage.app().enable();
    waitUntil([&] { return !stage.app().error().isEmpty(); });
    save(stage.shot(), name);
  });
  take("08-settings", [](auto name) {
    Stage stage(receivingOn);
    stage.app().setSelected("Settings");
    save(stage.shot({920, 1180}), name);
    stage.app().pauseReceiving();
    saveTray(stage, "10-tray-paused", "12-tray-icon");
    app::BackgroundDialog dialog(stage.app());
    dialog.show();
    settle(100ms);
    save(dialog.grab(), "13-background-settings");
  });
  take("14-settings-signed-out", [](auto name) {
    Stage stage(signedOut);
    stage.app().setSelected("Settings");
    save(stage.shot({820, 560}), name);
  });
  take("15-symbols", [](auto name) {
    save(symbols(), name);
    save(app::appIcon().pixmap(128, 128), "16-app-icon");
  });
  take("17-folder-chooser", [](auto name) {
    Stage stage(receivingOff);
    stage.shot();
    stage.app().chooseFolder();
    settle(150ms);
    for (auto* dialog : stage.scene->window().findChildren<QFileDialog*>()) save(dialog->grab(), name);
  });
  take("18-no-tray", [](auto name) {
    // As a desktop without a tray shows the window, and again with its menu dropped down.
    Stage stage(receivingOn, {"ready", "Ready to receive your company’s footage.", "", 0, 0, {}}, false);
    QPixmap picture = stage.shot();
    save(picture, name);
    QToolButton* button = stage.scene->window().view()->menuButton();
    button->menu()->adjustSize();
    QPainter(&picture).drawPixmap(button->mapTo(&stage.scene->window(), QPoint(button->width() - button->menu()->width(),
                                                                                button->height() + 2)),
                                  button->menu()->grab());
    save(picture, "19-no-tray-menu");
  });
  take("20-focus-rings", [](auto name) {
    Stage stage(receivingOn, {"ready", "Ready to receive your company’s footage.", "", 0, 0, {}}, false);
    save(focusRings(stage), name);
  });
  take("21-large-text", [](auto name) {
    // A desktop whose text is scaled to 150 %: the window's text follows it.
    QFont normal = QApplication::font(), large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.5);
    QApplication::setFont(large);
    Stage stage(receivingOn);
    save(stage.shot(), name);
    stage.app().setSelected("Settings");
    save(stage.shot({920, 1400}), "22-large-text-settings");
    QApplication::setFont(normal);
  });
  return ok ? 0 : 1;
}
