// The byte layouts of the version-1 data streams that an IAdviseSink receives: data with
// time stamps, data without time stamps, and write completions. All fields little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace dravon {

// The three clipboard formats registered by name for version-1 advise sinks.
inline constexpr const char* StreamFormatDataTimeName = "OPCSTMFORMATDATATIME";
inline constexpr const char* StreamFormatDataName = "OPCSTMFORMATDATA";
inline constexpr const char* StreamFormatWriteCompleteName = "OPCSTMFORMATWRITECOMPLETE";

enum class TStreamFormat { DataWithTime = 1, DataWithoutTime = 2, WriteComplete = 3 };

// One item of a data stream. Value is the item's value as its 16-byte VARIANT record.
struct TStreamItem {
    std::uint32_t ClientHandle = 0;
    std::uint16_t Quality = 0;
    std::uint64_t TimeStamp = 0; // FILETIME, UTC
    std::array<std::uint8_t, 16> Value{};
};

class TOPCDataStream {
public:
    static constexpr std::uint32_t HeaderSize = 20;
    static constexpr std::uint32_t ItemWithTimeSize = 20;
    static constexpr std::uint32_t ItemWithoutTimeSize = 12;
    static constexpr std::uint32_t ValueSize = 16;
    static constexpr std::uint32_t WriteHeaderSize = 16;
    static constexpr std::uint32_t WriteItemSize = 8;

    static std::vector<std::uint8_t> Data(bool withTime, std::uint32_t groupClientHandle,
                                          std::uint32_t transactionId, const std::vector<TStreamItem>& items);
    // errors: one result per item (none: all S_OK); the header's status is S_FALSE when
    // any item failed.
    static std::vector<std::uint8_t> WriteComplete(std::uint32_t groupClientHandle,
                                                   std::uint32_t transactionId,
                                                   const std::vector<std::uint32_t>& clientHandles,
                                                   const std::vector<std::int32_t>& errors = {});
};

} // namespace dravon
