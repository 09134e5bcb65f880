#include "devices/vir_com_port.h"

namespace murvik {

VirComPortFactory& VirComPorts() {
  static VirComPortFactory factory;
  return factory;
}

}  // namespace murvik
