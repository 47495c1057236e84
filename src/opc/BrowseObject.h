// TBrowseObject: a server object's browse position and IOPCBrowseServerAddressSpace
// (the server object forwards those methods here).
//
// The tree: root -> "Sys" (server variables) and the PLCs; PLC -> "Sys" (status
// variables) and its memory types; memory type -> one level per address digit.
#pragma once

#include "opc/OPCInterfaces.h"

#include <string>
#include <vector>

namespace dravon {

class TDA2;
class THitachiPLC;
struct MemoryTypeInfo;

class TBrowseObject {
public:
    enum TKind : std::int32_t {
        bkRoot = 0,
        bkPLC = 1,
        bkMemoryType = 2,
        bkServerVars = 10,
        bkStatusVars = 11
    };
    // ChangeBrowsePosition calls within one browse window, while in a PLC, that mark the
    // client as browsing intensively.
    static constexpr std::int32_t IntensiveCallCount = 601;

    explicit TBrowseObject(TDA2& server);
    TBrowseObject(const TBrowseObject&) = delete;
    TBrowseObject& operator=(const TBrowseObject&) = delete;

    TDA2& Server() const { return Server_; }

    HRESULT QueryOrganization(std::uint32_t& nameSpaceType);
    HRESULT ChangeBrowsePosition(std::uint32_t direction, const std::string& name);
    HRESULT BrowseOPCItemIDs(std::uint32_t browseType, const std::string& filter, VARTYPE dataTypeFilter,
                             std::uint32_t accessRightsFilter, TComPtr<IEnumString>& names);
    HRESULT GetItemID(const std::string& itemDataID, std::string& itemID);
    HRESULT BrowseAccessPaths(const std::string& itemID, TComPtr<IEnumString>& paths);

    // ---- position, for the server's own views and tests ----
    // The kind falls back to the root when the PLC of the position no longer exists.
    TKind Kind();
    int Depth() const { return static_cast<int>(Digits_.size()); }
    // AllowBrowsing on and intensive browsing not (detected and guarded against).
    bool MemoryBrowsingOpen() const;

    // Address digits of a memory type (hexadecimal ones first, then SubDigits decimal ones).
    static int TotalDigits(const MemoryTypeInfo& info);
    // Digits that may follow the chosen ones so that an address within the memory type's
    // limits can still be reached.
    static std::vector<int> NextDigits(const MemoryTypeInfo& info, const std::vector<int>& chosen);

private:
    THitachiPLC* CurrentPLC() const;
    const MemoryTypeInfo* CurrentMemoryType() const;
    void GoToRoot();
    bool MoveUp();
    bool MoveDown(const std::string& name);
    std::vector<std::string> Names(std::uint32_t browseType);

    TDA2& Server_;
    // The PLC is held by name and looked up on every use: PLCs may be deleted while a
    // client sits in one, and a stale reference would dangle.
    std::string PLCName_;
    int MemoryRow_ = -1;
    std::vector<int> Digits_;
    TKind Kind_ = bkRoot;
};

} // namespace dravon
