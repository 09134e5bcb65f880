#pragma once
// The hidden end of a local virtual serial port pair, as a serial channel uses it: bytes the PC
// software writes arrive on the port's own thread, bytes from the module are written back, and
// the line settings the software chose are read for every frame.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tunnel/wire_format.h"

namespace murvik {

class IVirComPort {
 public:
  using Receiver = std::function<void(const std::uint8_t* bytes, std::size_t count)>;
  virtual ~IVirComPort() = default;
  // Opens the hidden end and starts delivering to the receiver; false on any failure.
  virtual bool Open() = 0;
  virtual bool Write(const std::uint8_t* bytes, std::size_t count) = 0;
  // Stops the delivery thread before it returns.
  virtual bool Close() = 0;
  // Baud rate, data bits, parity and stop bits as the PC software last set them (serial API codes).
  virtual wire::LineSettings Line() const = 0;
};

struct VirComPortRequest {
  std::string portName;  // the visible name, e.g. "COM5"
  IVirComPort::Receiver receiver;
  // What a pseudo-terminal cannot show: data bits and parity fall back to the channel's settings.
  int byteSize = 8;
  int parity = 0;
};

// Makes the port service of a channel; nullptr when this build has none for the platform.
using VirComPortFactory = std::function<std::unique_ptr<IVirComPort>(const VirComPortRequest&)>;
VirComPortFactory& VirComPorts();

}  // namespace murvik
