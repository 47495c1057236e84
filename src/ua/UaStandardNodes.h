// The standard nodes of namespace 0 that this endpoint serves, as one table of data: the
// folders, the Server object with its mandatory parts, and the type system (object,
// variable, data and reference types) down to every type those nodes and the PLC values
// use. Each row names the node that holds it and how (Organizes, HasComponent,
// HasProperty, or HasSubtype from its supertype); the address space derives every
// forward and inverse reference from that column.
#pragma once

#include <cstdint>
#include <span>

namespace dravon {

enum TUaNodeClass : std::uint32_t {
    ncObject = 1,
    ncVariable = 2,
    ncObjectType = 8,
    ncVariableType = 16,
    ncReferenceType = 32,
    ncDataType = 64
};

struct TUaStandardNode {
    std::uint32_t Id = 0;
    std::uint32_t NodeClass = ncObject;
    const char* Name = "";
    std::uint32_t Parent = 0;          // the node holding this one (0: Root)
    std::uint32_t ParentReference = 0; // Organizes, HasComponent, HasProperty or HasSubtype
    std::uint32_t TypeDefinition = 0;  // objects and variables
    std::uint32_t DataType = 0;        // variables and variable types
    std::int32_t ValueRank = -1;
    bool IsAbstract = false;      // types
    bool Symmetric = false;       // reference types
    const char* InverseName = ""; // reference types
};

std::span<const TUaStandardNode> UaStandardNodes();

} // namespace dravon
