#pragma once
// What sits on a module's serial port: the far end of the PC's bytes and the source of the
// bytes the module sends back.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "line_format.h"

namespace murvik::sim {

class SerialDevice {
 public:
  // Bytes the device puts on the line towards the PC.
  using Emit = std::function<void(const std::uint8_t* data, std::size_t size)>;

  virtual ~SerialDevice() = default;
  virtual const char* Kind() const = 0;
  // Bytes from the PC, with the line settings of the frame that carried them.
  virtual void FromPc(const std::uint8_t* data, std::size_t size, const LineSettings& line) = 0;
  // A descriptor to watch, and what to do when it is readable; -1 for none.
  virtual int Fd() const { return -1; }
  virtual void OnReadable() {}
  // The path a test attaches to, "" for none.
  virtual std::string Path() const { return {}; }
  // The PC's accepted COM_CONFIG.
  virtual void OnConfigured(std::uint16_t /*plcType*/) {}
  // The device's own counters under the port's "device" stats, null for none.
  virtual nlohmann::ordered_json Stats() const { return nullptr; }
  // Fields for the record line of the COM_DATA just handed over, null for none.
  virtual nlohmann::ordered_json TakeRecordFields() { return nullptr; }

  void SetEmit(Emit emit) { emit_ = std::move(emit); }
  std::uint64_t lostBytes = 0;  // bytes the device could not take

 protected:
  void EmitBytes(const std::uint8_t* data, std::size_t size) {
    if (emit_) emit_(data, size);
  }

 private:
  Emit emit_;
};

// "echo", "null", "pty", "ppi" or "ppi:ADDR"; nullptr with `error` set when the kind is unknown
// or the pty cannot be opened.
std::unique_ptr<SerialDevice> MakeSerialDevice(const std::string& kind, std::string& error);
bool IsSerialDeviceKind(const std::string& kind);

}  // namespace murvik::sim
