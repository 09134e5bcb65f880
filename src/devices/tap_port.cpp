#include "devices/tap_port.h"

namespace murvik {

TapDeviceFactory& TapDevices() {
  static TapDeviceFactory factory;
  return factory;
}

}  // namespace murvik
