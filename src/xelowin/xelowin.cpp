// Launcher: starts the console program with the launcher's arguments, or the
// graphical front end without arguments; its exit status is theirs.
#include <string>
#include <vector>

#include "launcher.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return XELO::runLauncher(args);
}
