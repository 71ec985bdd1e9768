// udev-rule BINDING_FILE [GROUP]: prints the udev rule that lets GROUP (default plugdev) open
// the boards the binding file lists, read as the station reads it. scripts/udev-rule installs
// what it prints.
//
// Exit status: 0 printed; 1 the file cannot be read or GROUP is no group name; 2 usage.
#include <cstdio>
#include <optional>
#include <string>

#include "platform/udev_rule.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: udev-rule BINDING_FILE [GROUP]\n", stderr);
    return 2;
  }
  std::string error;
  const std::optional<std::string> rule = plat::MakeUdevRule(argv[1], argc > 2 ? argv[2] : "plugdev", error);
  if (!rule) {
    std::fprintf(stderr, "udev-rule: %s\n", error.c_str());
    return 1;
  }
  std::fputs(rule->c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
