#include "opc/OPCDataStream.h"

namespace dravon {

namespace {

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put64(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

std::vector<std::uint8_t> TOPCDataStream::Data(bool withTime, std::uint32_t groupClientHandle,
                                               std::uint32_t transactionId,
                                               const std::vector<TStreamItem>& items) {
    const auto n = static_cast<std::uint32_t>(items.size());
    const std::uint32_t itemSize = withTime ? ItemWithTimeSize : ItemWithoutTimeSize;
    const std::uint32_t valuesAt = HeaderSize + itemSize * n;
    const std::uint32_t total = valuesAt + ValueSize * n;
    std::vector<std::uint8_t> out(total, 0);
    Put32(out, 0, total);
    Put32(out, 4, n);
    Put32(out, 8, groupClientHandle);
    Put32(out, 12, transactionId);
    Put32(out, 16, 0); // result
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto& item = items[i];
        const std::size_t at = HeaderSize + itemSize * i;
        const std::uint32_t valueAt = valuesAt + ValueSize * i;
        Put32(out, at, item.ClientHandle);
        Put32(out, at + 4, valueAt);
        Put16(out, at + 8, item.Quality);
        Put16(out, at + 10, 0); // reserved
        if (withTime) Put64(out, at + 12, item.TimeStamp);
        for (std::uint32_t b = 0; b < ValueSize; ++b) out[valueAt + b] = item.Value[b];
    }
    return out;
}

std::vector<std::uint8_t> TOPCDataStream::WriteComplete(std::uint32_t groupClientHandle,
                                                        std::uint32_t transactionId,
                                                        const std::vector<std::uint32_t>& clientHandles,
                                                        const std::vector<std::int32_t>& errors) {
    const auto n = static_cast<std::uint32_t>(clientHandles.size());
    std::vector<std::uint8_t> out(WriteHeaderSize + WriteItemSize * n, 0);
    bool failed = false;
    Put32(out, 0, n);
    Put32(out, 4, groupClientHandle);
    Put32(out, 8, transactionId);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::int32_t error = i < errors.size() ? errors[i] : 0;
        failed = failed || error != 0;
        Put32(out, WriteHeaderSize + WriteItemSize * i, clientHandles[i]);
        Put32(out, WriteHeaderSize + WriteItemSize * i + 4, static_cast<std::uint32_t>(error));
    }
    Put32(out, 12, failed ? 1u : 0u); // result: S_FALSE when an item failed
    return out;
}

} // namespace dravon
