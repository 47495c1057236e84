#include "mqtt/SparkplugPayload.h"

#include "mqtt/sparkplug_b.pb.h"

namespace dravon {

namespace {

namespace pb = dravon::sparkplug;

constexpr const char* QualityProperty = "Quality";

void SetValue(pb::Payload_Metric& out, const TSparkplugValue& value) {
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::uint32_t>)
                out.set_int_value(v);
            else if constexpr (std::is_same_v<T, std::uint64_t>)
                out.set_long_value(v);
            else if constexpr (std::is_same_v<T, float>)
                out.set_float_value(v);
            else if constexpr (std::is_same_v<T, double>)
                out.set_double_value(v);
            else if constexpr (std::is_same_v<T, bool>)
                out.set_boolean_value(v);
            else if constexpr (std::is_same_v<T, std::string>)
                out.set_string_value(v);
        },
        value);
}

TSparkplugValue GetValue(const pb::Payload_Metric& in) {
    switch (in.value_case()) {
    case pb::Payload_Metric::kIntValue: return in.int_value();
    case pb::Payload_Metric::kLongValue: return in.long_value();
    case pb::Payload_Metric::kFloatValue: return in.float_value();
    case pb::Payload_Metric::kDoubleValue: return in.double_value();
    case pb::Payload_Metric::kBooleanValue: return in.boolean_value();
    case pb::Payload_Metric::kStringValue: return in.string_value();
    default: return std::monostate{};
    }
}

} // namespace

std::vector<std::uint8_t> EncodeSparkplugPayload(const TSparkplugPayload& payload) {
    pb::Payload out;
    if (payload.Timestamp) out.set_timestamp(*payload.Timestamp);
    if (payload.Seq) out.set_seq(*payload.Seq);
    for (const TSparkplugMetric& metric : payload.Metrics) {
        pb::Payload_Metric& m = *out.add_metrics();
        if (!metric.Name.empty()) m.set_name(metric.Name);
        if (metric.Alias) m.set_alias(*metric.Alias);
        if (metric.Timestamp) m.set_timestamp(*metric.Timestamp);
        m.set_datatype(metric.DataType);
        if (metric.IsNull) m.set_is_null(true);
        if (metric.Quality) {
            pb::Payload_PropertySet& properties = *m.mutable_properties();
            properties.add_keys(QualityProperty);
            pb::Payload_PropertyValue& value = *properties.add_values();
            value.set_type(SparkplugType::Int32);
            value.set_int_value(static_cast<std::uint32_t>(*metric.Quality));
        }
        if (!metric.IsNull) SetValue(m, metric.Value);
    }
    std::vector<std::uint8_t> bytes(out.ByteSizeLong());
    if (!bytes.empty()) out.SerializeToArray(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

std::optional<TSparkplugPayload> DecodeSparkplugPayload(const std::uint8_t* data, std::size_t size) {
    if (size > MaxSparkplugCommandBytes || (size > 0 && !data)) return std::nullopt;
    pb::Payload in;
    if (!in.ParseFromArray(data, static_cast<int>(size))) return std::nullopt;
    TSparkplugPayload payload;
    if (in.has_timestamp()) payload.Timestamp = in.timestamp();
    if (in.has_seq()) payload.Seq = in.seq();
    payload.Metrics.reserve(static_cast<std::size_t>(in.metrics_size()));
    for (const pb::Payload_Metric& m : in.metrics()) {
        TSparkplugMetric metric;
        metric.Name = m.name();
        if (m.has_alias()) metric.Alias = m.alias();
        if (m.has_timestamp()) metric.Timestamp = m.timestamp();
        metric.DataType = m.datatype();
        metric.IsNull = m.is_null();
        if (m.has_properties()) {
            const pb::Payload_PropertySet& properties = m.properties();
            for (int i = 0; i < properties.keys_size() && i < properties.values_size(); ++i)
                if (properties.keys(i) == QualityProperty && properties.values(i).has_int_value())
                    metric.Quality = static_cast<std::int32_t>(properties.values(i).int_value());
        }
        if (!metric.IsNull) metric.Value = GetValue(m);
        payload.Metrics.push_back(std::move(metric));
    }
    return payload;
}

} // namespace dravon
