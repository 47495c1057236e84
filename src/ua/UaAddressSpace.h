// The nodes a UA client sees: the standard part of namespace 0 (built from the table in
// UaStandardNodes) and namespace 1, which is the backend's tree: folders "/PLC1/WR" and
// variables named by their DA item IDs.
#pragma once

#include "ua/UaBackend.h"
#include "ua/UaStandardNodes.h"
#include "ua/UaTypes.h"

#include <functional>
#include <map>
#include <optional>

namespace dravon {

// Attribute ids
enum TUaAttribute : std::uint32_t {
    atNodeId = 1,
    atNodeClass = 2,
    atBrowseName = 3,
    atDisplayName = 4,
    atDescription = 5,
    atWriteMask = 6,
    atUserWriteMask = 7,
    atIsAbstract = 8,
    atSymmetric = 9,
    atInverseName = 10,
    atEventNotifier = 12,
    atValue = 13,
    atDataType = 14,
    atValueRank = 15,
    atArrayDimensions = 16,
    atAccessLevel = 17,
    atUserAccessLevel = 18,
    atMinimumSamplingInterval = 19,
    atHistorizing = 20
};

struct TUaNode {
    TUaNodeId Id;
    std::uint32_t NodeClass = ncObject;
    TUaQualifiedName BrowseName;
    std::string DisplayName;
    std::uint32_t TypeDefinition = 0;
    std::uint32_t DataType = 0;
    std::int32_t ValueRank = -1;
    std::vector<std::uint32_t> ArrayDimensions;
    std::uint8_t AccessLevel = 0; // bit 0 read, bit 1 write
    std::string ItemId;           // backend variables: the DA item ID
    bool IsAbstract = false;      // types
    bool Symmetric = false;       // reference types
    std::string InverseName;      // reference types
    std::uint32_t RangeOf = 0;    // an EURange property: the data type whose range it gives
};

struct TUaReference {
    std::uint32_t ReferenceType = 0;
    bool IsForward = true;
    TUaNode Target;
};

class TUaAddressSpace {
public:
    explicit TUaAddressSpace(IUaBackend& backend);

    // session: the backend session of the client asking (its server object browses).
    std::optional<TUaNode> Find(const TUaNodeId& id, IUaBackendSession* session = nullptr);
    // All references of a node, forward and inverse, with their targets described.
    std::vector<TUaReference> References(const TUaNode& node, IUaBackendSession* session = nullptr);
    // Attributes other than the Value of backend variables. Empty status Good.
    TUaStatusCode ReadAttribute(const TUaNode& node, std::uint32_t attributeId, TUaVariant& out);
    // Value of a namespace-0 variable, from the provider the server installs.
    std::function<TUaVariant(std::uint32_t)> StandardValue;

    // true when `type` is `base` or (with subtypes) below it in the reference type tree.
    static bool IsReferenceOf(std::uint32_t type, std::uint32_t base, bool includeSubtypes);
    static bool IsKnownReferenceType(std::uint32_t type);

    static TUaNodeId FolderNodeId(const std::string& backendId) { return TUaNodeId::Str(backendId, 1); }
    // The range of an integer data type (low, high): the EURange of values of that type.
    static std::optional<std::pair<double, double>> TypeRange(std::uint32_t dataType);
    // A variable's EURange property is the variable's id with this appended.
    static constexpr const char* EURangeSuffix = "/EURange";

private:
    static TUaNode FromStandard(const TUaStandardNode& s);
    static TUaNode FromBackend(const TUaBackendNode& b);
    static TUaNode EURangeOf(const TUaNode& variable);
    static const TUaStandardNode* Standard(std::uint32_t id);

    IUaBackend& Backend_;
};

} // namespace dravon
