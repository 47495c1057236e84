// The "Show serial communication" lines: what went out and what came in on a serial
// port, each byte shown as a character and then as hexadecimal.
#pragma once

#include "app/Platform.h"

#include <cstdint>
#include <span>
#include <string>

namespace dravon {

// "hh:mm:ss:zzz" of a local date-time.
std::string SpyTimeText(TDateTime value);

// "[Tx] [time] chars  ( hex)" or "[Rx] [time] chars  (hex)"; control bytes below 0x0F are
// shown as the character byte + 0xDF so that they stay visible. Characters are the Latin-1
// characters of those codes, encoded as UTF-8.
std::string SerialSpyLine(bool transmit, TDateTime time, std::span<const std::uint8_t> bytes);

} // namespace dravon
