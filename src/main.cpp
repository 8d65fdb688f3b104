#include "control.h"
#include "light_sensor.h"
#include "software.h"

int main(int argc, char* argv[]) {
  const int status = parseCommandLine(argc, argv);
  if (status != kRunMethod) return status;
  if (settings.software_method) return runSoftwareMethod();
  return runLightSensorMethod();
}
