// Launcher: starts the console program with the launcher's arguments.
#include <cstdio>

int main() {
  std::fputs("xelowin: the launcher is not part of this build yet; run xelo directly.\n", stderr);
  return 1;
}
