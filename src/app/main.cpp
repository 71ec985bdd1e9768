// station [--home DIR]: the flashing station's window.
#include "app/station_app.h"

int main(int argc, char** argv) { return station::StationApp::Run(argc, argv); }
