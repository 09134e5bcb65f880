#pragma once
// A small S7-200-like station on a PPI multi-drop line ("ppi" serial backend). It answers, as a
// slave at one address, the frames a PLC programming tool sends: FDL status (SD1, FC 0x49),
// SD2 requests carrying an S7 PDU (short acknowledgement 0xE5 at once, the response held until
// the master polls with SD1), and polls. Frames for other addresses get no answer; frames that
// are too short, badly framed or carry a wrong FCS are ignored and counted.
//
// Each COM_DATA payload from the PC is taken as one burst on the line followed by idle time:
// frames inside it are handled back to back, and a frame cut off at its end is too short
// (nothing is joined across payloads, as the PC's assistance does not join its chunks either).
//
// When the PC configures the port with PlcType 2 (S7-200) the port also plays the module
// firmware's part of the link assistance: after a request with ROSCTR 1 or 7 the PC forwards no
// poll and waits for the response unasked, so the module polls the station itself right after
// the 0xE5 and sends the response to the PC as its own COM_DATA.
#include <memory>
#include <string>

#include "serial_devices.h"

namespace murvik::sim {

// "ppi" (station address 2) or "ppi:N" with N 0..126; false for anything else.
bool ParsePpiKind(const std::string& kind, int& address);
std::unique_ptr<SerialDevice> MakePpiStation(int address);

}  // namespace murvik::sim
