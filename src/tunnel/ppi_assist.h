#pragma once
// PPI link assistance for an S7-200 serial channel: the token-bus housekeeping (short
// acknowledgement 0xE5, FDL status) is answered on the PC side so the master/slave polling
// survives the tunnel's latency; real requests go to the module and each station's response is
// held until the software polls for it, carrying the software's own PDU reference.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace murvik {

class TPpiAssist {
 public:
  static constexpr int kStations = 127;  // addresses 0 to 126
  static constexpr std::size_t kMaxResponse = 256;
  static constexpr std::size_t kMaxNumbers = 128;  // numbers kept from Other

  // The two services of the serial channel plus its port's current baud rate. They must not
  // call back into this object; they are nevertheless called with no lock held, so a channel
  // lock taken inside them cannot deadlock against a thread that holds it while calling in.
  struct Io {
    std::function<void(const std::uint8_t*, std::size_t)> writeLocal;    // to the local port
    std::function<void(const std::uint8_t*, std::size_t)> sendToModule;  // as COM_DATA
    std::function<std::uint32_t()> localBaud;
  };

  // Station table from the Other setting (station addresses separated by ";" or "；").
  void Build(const std::string& other, std::int32_t baudRate);
  // One chunk read from the local port; taken to start with one PPI frame (port service thread).
  void LocalChunk(const std::uint8_t* bytes, std::size_t count, const Io& io);
  // The data of one COM_DATA from the module (loop thread).
  void ModuleData(const std::uint8_t* bytes, std::size_t count, const Io& io);
  void Discard();

  bool Built() const;
  bool StationAlive(int address) const;
  bool ResponseReady(int address) const;
  bool NeedPoll(int address) const;
  bool PollForwarded(int address) const;

 private:
  struct Station {
    bool alive = false;
    std::array<std::uint8_t, kMaxResponse> response{};
    std::uint16_t responseLength = 0;
    std::array<std::uint8_t, 2> pduRef{};
    bool responseReady = false;
    bool pollForwarded = false;
    bool needPoll = false;
  };

  void LocalSd2(const std::uint8_t* bytes, std::size_t count, const Io& io);
  void LocalSd1(const std::uint8_t* bytes, std::size_t count, const Io& io);
  bool Alive(int address) const;  // with the lock held
  template <typename F>
  bool Read(int address, F field) const;

  // Local chunks and module data arrive on two threads and touch the same entries.
  mutable std::mutex mutex_;
  bool built_ = false;
  std::int32_t baudRate_ = 0;
  std::array<Station, kStations> stations_{};
};

}  // namespace murvik
