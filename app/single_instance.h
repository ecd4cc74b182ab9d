#pragma once

#include <memory>

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>

namespace trellisant::app {

// One running app per user. The first process holds a lock file and listens on a local
// socket; a later one (typically started by the desktop with a trellisant:// address) hands
// its addresses over and exits.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `socketPath` must be absolute; the lock file sits beside it.
  explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
  ~SingleInstance() override;

  // $XDG_RUNTIME_DIR/com.trellisant.app, or app.sock in the support folder without one.
  static QString defaultPath();

  // True when this process is now the one instance; it then listens for the others.
  bool becomePrimary();
  // Sends `urls` (none: just show the window) to the running instance; false when none
  // took them within `timeoutMs`.
  bool handOff(const QStringList& urls, int timeoutMs = 3000) const;

 signals:
  void urlReceived(const QString& url);
  void activationRequested();

 private:
  void accept();
  void deliver(const QByteArray& message);

  QString path_;
  QLockFile lock_;
  QLocalServer server_;
};

}  // namespace trellisant::app
