#include "control.h"

int main(int argc, char* argv[]) {
  const int status = parseCommandLine(argc, argv);
  if (status != kRunMethod) return status;
  return runChosenMethod();
}
