// Renders the window and the tray menu in the states a person should look at, as PNG files in
// the folder given as the first argument; the names that follow, if any, choose the pictures.
// Run by scripts/screenshots.
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QToolButton>

#include "app_fakes.h"
#include "app_scene.h"
#include "history/received_history.h"
#include "main_view.h"
#include "main_window.h"
#include "theme.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

using Section = app::AppModel::Section;

QDir out;
bool ok = true;

void save(const QPixmap& picture, const QString& name) { ok &= picture.save(out.filePath(name + ".png")); }

enum Step { signedOut, signedIn, receivingOff, receivingOn };

// The app in a private home: signed out (with the sandbox server to sign in to), signed in,
// or with a folder chosen and receiving off or on, the agent saying `said`; on a desktop with
// a tray unless told otherwise.
struct Stage : AppStage {
  explicit Stage(Step step, bool withTray = true,
                 AgentStatus said = {AgentState::ready, "Ready to receive your company’s footage.", "", 0, 0, {}}) {
    tray = withTray;
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
    scene = std::make_unique<app::AppScene>(parts());
    waitUntil([&] { return app().signInKnown(); });
    if (step == receivingOn) waitUntil([&] { return app().status().message == said.message; });
  }
  app::AppModel& app() { return scene->model(); }
  // The window showing `section`, at this size.
  QPixmap shot(Section section = Section::downloads, QSize size = {920, 660}) {
    app().setSelected(section);
    scene->window().resize(size);
    scene->showWindow();
    settle(150ms);
    return scene->window().grab();
  }
  // The tray menu and its icon.
  void saveTray(const QString& menu, const QString& icon) {
    save(scene->tray().menu()->grab(), menu);
    save(scene->tray().icon()->icon().pixmap(64, 64), icon);
  }
  std::unique_ptr<app::AppScene> scene;
};

// Each control of both sections as the Tab key leaves it, focused with its ring, one below the other.
QPixmap focusRings(Stage& stage) {
  app::MainWindow& window = stage.scene->window();
  QList<QPixmap> crops;
  int width = 0, height = 0;
  QList<QWidget*> seen;
  for (Section section : {Section::downloads, Section::settings}) {
    stage.shot(section, {920, 1180});
    for (int step = 0; step < 40; ++step) {
      QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
      QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : &window, &tab);
      QWidget* control = QApplication::focusWidget();
      if (!control || seen.contains(control)) continue;
      seen << control;
      QRect around(control->mapTo(&window, QPoint(-8, -8)), control->size() + QSize(16, 16));
      crops << window.grab(around & window.rect());
      std::tie(width, height) = std::pair(std::max(width, crops.back().width()), height + crops.back().height() + 4);
    }
  }
  QPixmap sheet(width, height);
  sheet.fill(app::theme::windowBackground());
  QPainter painter(&sheet);
  for (int y = 0; const QPixmap& crop : crops) painter.drawPixmap(0, std::exchange(y, y + crop.height() + 4), crop);
  return sheet;
}

}  // namespace

int main(int argc, char* argv[]) {
  ensureApplication();
  out.setPath(argc > 1 ? argv[1] : ".");
  out.mkpath(".");
  QStringList only;
  for (int i = 2; i < argc; ++i) only << argv[i];
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
    Stage stage(receivingOn, true, {AgentState::downloading, "Downloading 4 of 12 files from Northwind Pictures.",
                                    "Northwind Pictures / Harbor Lights / Day 3 dailies", 18'430'000'000, 41'200'000'000, {}});
    save(stage.shot(), name);
    stage.saveTray("09-tray-receiving", "11-tray-icon-downloading");
  });
  take("07-needs-attention", [](auto name) {
    Stage stage(receivingOn, true, {AgentState::needsAttention, "Your download disk is full. Free up space to resume.", "", 0, 0, {}});
    save(stage.shot(), name);
  });
  take("08-settings", [](auto name) {
    Stage stage(receivingOn);
    save(stage.shot(Section::settings, {920, 1180}), name);
    stage.app().pauseReceiving();
    stage.saveTray("10-tray-paused", "12-tray-icon");
  });
  take("14-settings-signed-out", [](auto name) {
    save(Stage(signedOut).shot(Section::settings, {820, 560}), name);
  });
  take("18-no-tray", [](auto name) {
    // As a desktop without a tray shows the window, and again with its menu dropped down.
    Stage stage(receivingOn, false);
    QPixmap picture = stage.shot();
    save(picture, name);
    QToolButton* button = stage.scene->window().view()->menuButton();
    button->menu()->adjustSize();
    QPoint corner(button->width() - button->menu()->width(), button->height() + 2);
    QPainter(&picture).drawPixmap(button->mapTo(&stage.scene->window(), corner), button->menu()->grab());
    save(picture, "19-no-tray-menu");
  });
  take("20-focus-rings", [](auto name) {
    Stage stage(receivingOn, false);  // the window's menu button too
    save(focusRings(stage), name);
  });
  take("23-received", [](auto name) {
    // Three deliveries received: one an hour ago (its receipt could not be written), one this
    // morning, one last week.
    Stage stage(receivingOn);
    const Date now = SystemClock::now();
    struct Shown {
      const char* name; const char* project; int files; std::int64_t bytes; std::chrono::hours ago; ReceiptState receipt;
    };
    for (const Shown& d : {Shown{"Day 1 dailies", "Harbor Lights", 212, 412'800'000'000, std::chrono::hours(24 * 6),
                                 ReceiptState::written},
                           Shown{"Day 2 dailies", "Harbor Lights", 188, 377'100'000'000, std::chrono::hours(3),
                                 ReceiptState::written},
                           Shown{"Grade reference", "Seaside Spot", 4, 2'340'000'000, std::chrono::hours(1),
                                 ReceiptState::failed}})
      ReceivedHistory().completed({d.name, d.name, "Northwind Pictures", d.project,
                                   stage.folder("Footage") / d.name, d.files, d.bytes, d.files, now - d.ago - 2h,
                                   now - d.ago, d.receipt});
    AgentStatus ready{AgentState::ready, "Ready to receive your company’s footage.", "", 0, 0, now + 1s};
    stage.agentSays(ready);
    stage.app().refresh();
    waitUntil([&] { return stage.app().received().size() == 3; });
    save(stage.shot({}, {920, 900}), name);
  });
  take("24-downloading-rate", [](auto name) {
    // Two of the agent's reports 5 s apart: the speed and the time left are known.
    AgentStatus said{AgentState::downloading, "Downloading original footage", "Day 3 dailies", 120'400'000,
                     310'400'000, {}};
    Stage stage(receivingOn, true, said);
    said.bytes += 5 * 24'100'000;
    said.updatedAt = stage.now + 5s;
    stage.agentSays(said);
    stage.app().refresh();
    waitUntil([&] { return stage.app().rate().bytesPerSecond.has_value(); });
    save(stage.shot(), name);
    save(stage.scene->tray().menu()->grab(), "25-tray-downloading-rate");
    ok &= stage.scene->tray().icon()->toolTip().contains("MB/s");
  });
  take("21-large-text", [](auto name) {
    // A desktop whose text is scaled to 150 %: the window's text follows it.
    QFont normal = QApplication::font(), large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.5);
    QApplication::setFont(large);
    Stage stage(receivingOn);
    save(stage.shot(), name);
    save(stage.shot(Section::settings, {920, 1400}), "22-large-text-settings");
    QApplication::setFont(normal);
  });
  return ok ? 0 : 1;
}
