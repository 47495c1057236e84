// Sparkplug B payloads as a broker hands them over in NCMD and DCMD messages. Nothing may
// crash, and what Dravon reads must encode and read back to the same bytes. The same bytes
// as a broker URL from the store must parse or be refused, nothing else.
#include "mqtt/MqttConfig.h"
#include "mqtt/SparkplugPayload.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace dravon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 512) {
        const auto address = ParseBrokerUrl(std::string(reinterpret_cast<const char*>(data), size));
        if (address && (address->Host.empty() || address->Port == 0)) std::abort();
    }
    const auto payload = DecodeSparkplugPayload(data, size);
    if (!payload) return 0;
    const std::vector<std::uint8_t> once = EncodeSparkplugPayload(*payload);
    const auto again = DecodeSparkplugPayload(once.data(), once.size());
    if (!again || EncodeSparkplugPayload(*again) != once) std::abort();
    return 0;
}
