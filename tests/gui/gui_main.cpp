// The window suites' main: the application object made and prepared as the station program
// makes it, on Qt's offscreen platform with a 1920 x 1080 screen unless the environment names
// a platform.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <string>

#include "app/station_app.h"

namespace {
// The offscreen platform says so each time a window asks for what it has no use for.
QtMessageHandler g_next = nullptr;
void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(QLatin1String("This plugin does not support"))) return;
  g_next(type, context, message);
}
}  // namespace

int main(int argc, char** argv) {
  g_next = qInstallMessageHandler(Filter);
  if (!std::getenv("QT_QPA_PLATFORM")) {
    const std::string platform = std::string("offscreen:configfile=") + STATION_OFFSCREEN_CONFIG;
    setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  station::StationApp::PrepareApplication();
  return RUN_ALL_TESTS();
}
