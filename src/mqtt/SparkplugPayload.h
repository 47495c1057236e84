// Sparkplug B payloads as plain records, and their protobuf encoding. Only what an edge
// node sends and reads is carried: metrics with name, alias, time stamp, datatype, the
// null flag, a "Quality" property and one scalar value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace dravon {

// Sparkplug B datatype codes (the scalar ones Dravon maps OPC values to).
namespace SparkplugType {
inline constexpr std::uint32_t Unknown = 0;
inline constexpr std::uint32_t Int8 = 1;
inline constexpr std::uint32_t Int16 = 2;
inline constexpr std::uint32_t Int32 = 3;
inline constexpr std::uint32_t Int64 = 4;
inline constexpr std::uint32_t UInt8 = 5;
inline constexpr std::uint32_t UInt16 = 6;
inline constexpr std::uint32_t UInt32 = 7;
inline constexpr std::uint32_t UInt64 = 8;
inline constexpr std::uint32_t Float = 9;
inline constexpr std::uint32_t Double = 10;
inline constexpr std::uint32_t Boolean = 11;
inline constexpr std::uint32_t String = 12;
inline constexpr std::uint32_t DateTime = 13;
inline constexpr std::uint32_t Text = 14;
} // namespace SparkplugType

// The value oneof of a metric: int_value, long_value, float, double, boolean, string.
using TSparkplugValue =
    std::variant<std::monostate, std::uint32_t, std::uint64_t, float, double, bool, std::string>;

struct TSparkplugMetric {
    std::string Name; // empty: not sent (data messages name metrics by alias)
    std::optional<std::uint64_t> Alias;
    std::optional<std::uint64_t> Timestamp; // ms since 1970-01-01 UTC
    std::uint32_t DataType = SparkplugType::Unknown;
    bool IsNull = false;
    std::optional<std::int32_t> Quality; // the OPC quality word as the "Quality" property
    TSparkplugValue Value;

    friend bool operator==(const TSparkplugMetric&, const TSparkplugMetric&) = default;
};

struct TSparkplugPayload {
    std::optional<std::uint64_t> Timestamp;
    std::optional<std::uint64_t> Seq;
    std::vector<TSparkplugMetric> Metrics;

    friend bool operator==(const TSparkplugPayload&, const TSparkplugPayload&) = default;
};

// Larger command payloads are refused unread: an edge node is sent a handful of metrics.
inline constexpr std::size_t MaxSparkplugCommandBytes = 1024 * 1024;

std::vector<std::uint8_t> EncodeSparkplugPayload(const TSparkplugPayload& payload);
// Nothing when the bytes are not a payload (or exceed the bound). Metric values of a kind
// Dravon does not read (data sets, templates, bytes) decode as no value.
std::optional<TSparkplugPayload> DecodeSparkplugPayload(const std::uint8_t* data, std::size_t size);

} // namespace dravon
