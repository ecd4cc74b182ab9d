#include <iostream>
#include <string_view>

#include <QApplication>

#include "app_scene.h"
#include "program.h"
#include "settings/app_configuration.h"
#include "single_instance.h"
#include "symbols.h"
#include "texts.h"
#include "theme.h"

using namespace trellisant::app;

int main(int argc, char* argv[]) {
  if (trellisant::AppConfiguration::asksVersion(argc, argv)) {
    std::cout << trellisant::AppConfiguration::versionLine(trellisant::kAppProgram);
    return 0;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(texts::appName);
  QApplication::setDesktopFileName(QStringLiteral("trellisant"));
  QApplication::setQuitOnLastWindowClosed(false);  // the tray and the model keep running

  QStringList urls;
  for (const QString& argument : app.arguments().mid(1))
    if (argument.startsWith(QStringLiteral("trellisant:"), Qt::CaseInsensitive)) urls.append(argument);

  SingleInstance instance(SingleInstance::defaultPath());
  if (!instance.becomePrimary()) return instance.handOff(urls) ? 0 : 1;

  theme::applyLightScheme(app);
  QApplication::setWindowIcon(appIcon());
  AppScene scene;
  QObject::connect(&instance, &SingleInstance::urlReceived, &scene, &AppScene::openUrl);
  QObject::connect(&instance, &SingleInstance::activationRequested, &scene, &AppScene::showWindow);
  scene.showWindow();
  for (const QString& url : urls) scene.openUrl(url);
  return app.exec();
}
