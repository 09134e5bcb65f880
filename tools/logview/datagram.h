#pragma once
// Decoding of one debug log datagram into the line the viewer prints.
#include <cstddef>
#include <cstdint>
#include <string>

namespace murvik::logview {

struct LogLine {
  std::uint16_t source = 0;
  std::uint16_t level = 0;
  std::uint32_t sequence = 0;
  std::int64_t time = 0;  // ms since 1899-12-30 00:00, local time
  std::string text;       // UTF-8, trailing CR/LF removed
};

// Answers true and fills line for a well-formed datagram; otherwise false with a short reason.
bool DecodeDatagram(const unsigned char* data, std::size_t size, LogLine& line, std::string& reason);

// "#<seq> L<level> <mm-dd,hh:nn:ss.zzz> [src <id>] <text>", control characters escaped so that
// one datagram stays one line.
std::string FormatLine(const LogLine& line);

}  // namespace murvik::logview
