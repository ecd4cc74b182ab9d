#include "app_scene.h"

#include <QPointer>

#include "app_model.h"
#include "main_view.h"
#include "main_window.h"
#include "tray_menu.h"

namespace trellisant::app {

AppScene::AppScene(AppServices services, QObject* parent) : QObject(parent) {
  // The window does not exist yet when the model starts; these look it up when used.
  QPointer<AppScene> self(this);
  services.activate = [self] {
    if (self && self->window_) self->showWindow();
  };
  // The folder dialog is a sheet on this window, even while the window is still opening.
  if (!services.folderChooser || dynamic_cast<DialogFolderChooser*>(services.folderChooser.get())) {
    services.folderChooser = std::make_shared<DialogFolderChooser>(
        [self]() -> QWidget* { return self && self->window_ ? self->window_.get() : nullptr; });
  }
  model_ = std::make_unique<AppModel>(std::move(services));
  window_ = std::make_unique<MainWindow>(*model_);
  tray_ = std::make_unique<TrayMenu>(*model_);
  connect(tray_.get(), &TrayMenu::openWindowRequested, this, &AppScene::showWindow);
  tray_->show();
}

AppScene::~AppScene() {
  tray_.reset();
  window_.reset();
  model_.reset();
}

void AppScene::showWindow() { window_->present(); }

void AppScene::openUrl(const QString& url) { model_->receiveSignIn(url); }

}  // namespace trellisant::app
