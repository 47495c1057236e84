// Sparkplug B payloads as a broker hands them over in NCMD and DCMD messages. Nothing may
// crash, and what Dravon reads must encode and read back to the same bytes. The same bytes
// as a broker URL from the store must parse or be refused, nothing else.
#include "support/FuzzInput.h"

#include "mqtt/MqttConfig.h"
#include "mqtt/SparkplugPayload.h"

using namespace dravon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 512) {
        const auto address = ParseBrokerUrl(std::string(reinterpret_cast<const char*>(data), size));
        fuzz::Check(!address || (!address->Host.empty() && address->Port != 0));
    }
    const auto payload = DecodeSparkplugPayload(data, size);
    if (!payload) return 0;
    const std::vector<std::uint8_t> once = EncodeSparkplugPayload(*payload);
    const auto again = DecodeSparkplugPayload(once.data(), once.size());
    fuzz::Check(again && EncodeSparkplugPayload(*again) == once);
    return 0;
}
