// The nodes a UA client sees: the standard part of namespace 0 that clients read at
// connect (Root, Objects, the Server object with ServerStatus, NamespaceArray, ServerArray,
// ServiceLevel and ServerCapabilities/OperationLimits) and namespace 1, which is the
// backend's tree: folders "/PLC1/WR" and variables named by their DA item IDs.
#pragma once

#include "ua/UaBackend.h"
#include "ua/UaTypes.h"

#include <functional>
#include <map>
#include <optional>

namespace dravon {

enum TUaNodeClass : std::uint32_t { ncObject = 1, ncVariable = 2 };

// Attribute ids
enum TUaAttribute : std::uint32_t {
    atNodeId = 1,
    atNodeClass = 2,
    atBrowseName = 3,
    atDisplayName = 4,
    atDescription = 5,
    atWriteMask = 6,
    atUserWriteMask = 7,
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

private:
    struct TStandard {
        std::uint32_t Id;
        const char* Name;
        std::uint32_t NodeClass;
        std::uint32_t TypeDefinition;
        std::uint32_t Parent;
        std::uint32_t ParentReference;
        std::uint32_t DataType;
        std::int32_t ValueRank;
    };
    TUaNode FromStandard(const TStandard& s) const;
    TUaNode FromBackend(const TUaBackendNode& b) const;

    IUaBackend& Backend_;
    std::map<std::uint32_t, TStandard> Standard_;
};

} // namespace dravon
