#include "app_parts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QUrl>

#include "control/status_client.h"
#include "qt_convert.h"
#include "texts.h"

namespace trellisant::app {

void DialogFolderChooser::choose(const std::optional<std::filesystem::path>& start,
                                 std::function<void(std::optional<std::filesystem::path>)> done) {
  QWidget* parent = parent_ ? parent_() : nullptr;
  auto* dialog = new QFileDialog(parent);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(texts::chooseDownloadFolder);
  dialog->setFileMode(QFileDialog::Directory);
  // Qt's own dialog, so the message below is shown on every desktop.
  dialog->setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  dialog->setLabelText(QFileDialog::Accept, toQString(prompt));
  if (start) dialog->setDirectory(pathText(*start));
  if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
    // The message goes above everything else: every item moves one row down.
    QList<std::tuple<QLayoutItem*, int, int, int, int>> items;
    int columns = grid->columnCount();
    while (grid->count() > 0) {
      int row, column, rowSpan, columnSpan;
      grid->getItemPosition(grid->count() - 1, &row, &column, &rowSpan, &columnSpan);
      items.append({grid->takeAt(grid->count() - 1), row, column, rowSpan, columnSpan});
    }
    auto* note = new QLabel(toQString(message), dialog);
    note->setWordWrap(true);
    note->setContentsMargins(0, 0, 0, 6);
    grid->addWidget(note, 0, 0, 1, columns);
    for (auto& [item, row, column, rowSpan, columnSpan] : items)
      grid->addItem(item, row + 1, column, rowSpan, columnSpan);
  }
  // finished fires once for accept and reject alike.
  auto answered = std::make_shared<bool>(false);
  QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done, answered](int result) {
    if (*answered) return;
    *answered = true;
    auto files = dialog->selectedFiles();
    if (result != QDialog::Accepted || files.isEmpty() || files.front().isEmpty()) {
      done(std::nullopt);
    } else {
      done(toPath(files.front()));
    }
  });
  if (parent) {
    dialog->setWindowModality(Qt::WindowModal);
    dialog->open();
  } else {
    dialog->show();
  }
  dialog->raise();
  dialog->activateWindow();
}

bool DesktopBrowserOpener::open(const std::string& url) {
  QUrl address(toQString(url), QUrl::StrictMode);
  if (!address.isValid()) return false;
  return QDesktopServices::openUrl(address);
}

AppParts AppParts::system() {
  AppParts parts;
  parts.loginItem = std::make_shared<SystemdLoginItem>();
  parts.agentStatus = [] { return requestAgentStatus(); };
  parts.now = [] { return SystemClock::now(); };
  parts.browser = std::make_shared<DesktopBrowserOpener>();
  parts.folderChooser =
      std::make_shared<DialogFolderChooser>([] { return QApplication::activeWindow(); });
  parts.notifier = std::make_shared<DesktopNotifier>();
  parts.notificationsAvailable = [] { return notificationServerAvailable(); };
  parts.openFolder = [](const std::filesystem::path& folder) { trellisant::openFolder(folder); };
  parts.quit = [] {
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  };
  parts.activate = [] {};
  parts.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  parts.schemeHandler =
      std::make_shared<DesktopSchemeHandler>(toPath(QCoreApplication::applicationFilePath()));
  return parts;
}

}  // namespace trellisant::app
