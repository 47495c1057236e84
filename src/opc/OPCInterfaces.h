// The OPC Data Access 2.0 custom interfaces (and the 1.0 IOPCAsyncIO), with the real
// interface IDs of opcda.h / opccomn.h and the standard records. Counts are the sizes of
// the in-vectors; out-vectors are filled by the callee and cleared when the call's result
// is neither S_OK nor S_FALSE. BOOL arguments are 32-bit (non-zero is true).
#pragma once

#include "opc/ComInterfaces.h"
#include "opc/FileTime.h"
#include "opc/Variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dravon {

using OPCHANDLE = std::uint32_t;

// OPCDATASOURCE
inline constexpr std::uint32_t OPC_DS_CACHE = 1;
inline constexpr std::uint32_t OPC_DS_DEVICE = 2;
// OPCENUMSCOPE
inline constexpr std::uint32_t OPC_ENUM_PRIVATE_CONNECTIONS = 1;
inline constexpr std::uint32_t OPC_ENUM_PUBLIC_CONNECTIONS = 2;
inline constexpr std::uint32_t OPC_ENUM_ALL_CONNECTIONS = 3;
inline constexpr std::uint32_t OPC_ENUM_PRIVATE = 4;
inline constexpr std::uint32_t OPC_ENUM_PUBLIC = 5;
inline constexpr std::uint32_t OPC_ENUM_ALL = 6;
// OPCSERVERSTATE
inline constexpr std::uint32_t OPC_STATUS_RUNNING = 1;
inline constexpr std::uint32_t OPC_STATUS_FAILED = 2;
inline constexpr std::uint32_t OPC_STATUS_NOCONFIG = 3;
inline constexpr std::uint32_t OPC_STATUS_SUSPENDED = 4;
inline constexpr std::uint32_t OPC_STATUS_TEST = 5;
// OPCNAMESPACETYPE, OPCBROWSEDIRECTION, OPCBROWSETYPE
inline constexpr std::uint32_t OPC_NS_HIERARCHIAL = 1;
inline constexpr std::uint32_t OPC_NS_FLAT = 2;
inline constexpr std::uint32_t OPC_BROWSE_UP = 1;
inline constexpr std::uint32_t OPC_BROWSE_DOWN = 2;
inline constexpr std::uint32_t OPC_BROWSE_TO = 3;
inline constexpr std::uint32_t OPC_BRANCH = 1;
inline constexpr std::uint32_t OPC_LEAF = 2;
inline constexpr std::uint32_t OPC_FLAT = 3;
// Access rights
inline constexpr std::uint32_t OPC_READABLE = 1;
inline constexpr std::uint32_t OPC_WRITEABLE = 2;

// OPCSERVERSTATUS (48 bytes in COM).
struct TOPCServerStatus {
    TFileTime StartTime;
    TFileTime CurrentTime;
    TFileTime LastUpdateTime;
    std::uint32_t ServerState = 0;
    std::uint32_t GroupCount = 0;
    std::uint32_t BandWidth = 0;
    std::uint16_t MajorVersion = 0;
    std::uint16_t MinorVersion = 0;
    std::uint16_t BuildNumber = 0;
    std::uint16_t Reserved = 0;
    std::string VendorInfo;
};

// OPCITEMDEF
struct TOPCItemDef {
    std::string AccessPath;
    std::string ItemID;
    std::int32_t Active = 0;
    OPCHANDLE ClientHandle = 0;
    std::vector<std::uint8_t> Blob;
    VARTYPE RequestedDataType = VT_EMPTY;
};

// OPCITEMRESULT
struct TOPCItemResult {
    OPCHANDLE ServerHandle = 0;
    VARTYPE CanonicalDataType = VT_EMPTY;
    std::uint32_t AccessRights = 0;
    std::vector<std::uint8_t> Blob;
};

// OPCITEMSTATE
struct TOPCItemState {
    OPCHANDLE ClientHandle = 0;
    TFileTime TimeStamp;
    std::uint16_t Quality = 0;
    std::uint16_t Reserved = 0;
    TVariant Value;
};

// OPCITEMATTRIBUTES
struct TOPCItemAttributes {
    std::string AccessPath;
    std::string ItemID;
    std::int32_t Active = 0;
    OPCHANDLE ClientHandle = 0;
    OPCHANDLE ServerHandle = 0;
    std::uint32_t AccessRights = 0;
    std::vector<std::uint8_t> Blob;
    VARTYPE RequestedDataType = VT_EMPTY;
    VARTYPE CanonicalDataType = VT_EMPTY;
    std::uint32_t EUType = 0;
    TVariant EUInfo;
};

class IOPCShutdown : public IUnknown {
public:
    static constexpr TGuid Iid{0xF31DFDE1, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    virtual HRESULT ShutdownRequest(const std::string& reason) = 0;

protected:
    ~IOPCShutdown() = default;
};

class IOPCCommon : public IUnknown {
public:
    static constexpr TGuid Iid{0xF31DFDE2, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    virtual HRESULT SetLocaleID(std::uint32_t lcid) = 0;
    virtual HRESULT GetLocaleID(std::uint32_t& lcid) = 0;
    virtual HRESULT QueryAvailableLocaleIDs(std::vector<std::uint32_t>& lcids) = 0;
    virtual HRESULT GetErrorString(HRESULT error, std::string& text) = 0;
    virtual HRESULT SetClientName(const std::string& name) = 0;

protected:
    ~IOPCCommon() = default;
};

class IOPCServer : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    // group receives the interface iid of the new group (its IUnknown sub-object).
    virtual HRESULT AddGroup(const std::string& name, std::int32_t active, std::uint32_t requestedUpdateRate,
                             OPCHANDLE clientGroup, const std::int32_t* timeBias,
                             const float* percentDeadband, std::uint32_t lcid, OPCHANDLE& serverGroup,
                             std::uint32_t& revisedUpdateRate, const TGuid& iid,
                             TComPtr<IUnknown>& group) = 0;
    virtual HRESULT GetErrorString(HRESULT error, std::uint32_t locale, std::string& text) = 0;
    virtual HRESULT GetGroupByName(const std::string& name, const TGuid& iid, TComPtr<IUnknown>& group) = 0;
    virtual HRESULT GetStatus(std::unique_ptr<TOPCServerStatus>& status) = 0;
    virtual HRESULT RemoveGroup(OPCHANDLE serverGroup, std::int32_t force) = 0;
    virtual HRESULT CreateGroupEnumerator(std::uint32_t scope, const TGuid& iid,
                                          TComPtr<IUnknown>& enumerator) = 0;

protected:
    ~IOPCServer() = default;
};

class IOPCBrowseServerAddressSpace : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A4F, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT QueryOrganization(std::uint32_t& nameSpaceType) = 0;
    virtual HRESULT ChangeBrowsePosition(std::uint32_t direction, const std::string& name) = 0;
    virtual HRESULT BrowseOPCItemIDs(std::uint32_t browseType, const std::string& filter,
                                     VARTYPE dataTypeFilter, std::uint32_t accessRightsFilter,
                                     TComPtr<IEnumString>& names) = 0;
    virtual HRESULT GetItemID(const std::string& itemDataID, std::string& itemID) = 0;
    virtual HRESULT BrowseAccessPaths(const std::string& itemID, TComPtr<IEnumString>& paths) = 0;

protected:
    ~IOPCBrowseServerAddressSpace() = default;
};

class IOPCItemProperties : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A72, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT QueryAvailableProperties(const std::string& itemID,
                                             std::vector<std::uint32_t>& propertyIDs,
                                             std::vector<std::string>& descriptions,
                                             std::vector<VARTYPE>& dataTypes) = 0;
    virtual HRESULT GetItemProperties(const std::string& itemID,
                                      const std::vector<std::uint32_t>& propertyIDs,
                                      std::vector<TVariant>& data, std::vector<HRESULT>& errors) = 0;
    virtual HRESULT LookupItemIDs(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                                  std::vector<std::string>& newItemIDs, std::vector<HRESULT>& errors) = 0;

protected:
    ~IOPCItemProperties() = default;
};

class IOPCGroupStateMgt : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A50, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT GetState(std::uint32_t& updateRate, std::int32_t& active, std::string& name,
                             std::int32_t& timeBias, float& percentDeadband, std::uint32_t& lcid,
                             OPCHANDLE& clientGroup, OPCHANDLE& serverGroup) = 0;
    // Null pointers leave their values unchanged.
    virtual HRESULT SetState(const std::uint32_t* requestedUpdateRate, std::uint32_t& revisedUpdateRate,
                             const std::int32_t* active, const std::int32_t* timeBias,
                             const float* percentDeadband, const std::uint32_t* lcid,
                             const OPCHANDLE* clientGroup) = 0;
    virtual HRESULT SetName(const std::string& name) = 0;
    virtual HRESULT CloneGroup(const std::string& name, const TGuid& iid, TComPtr<IUnknown>& clone) = 0;

protected:
    ~IOPCGroupStateMgt() = default;
};

class IOPCItemMgt : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A54, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT AddItems(const std::vector<TOPCItemDef>& items, std::vector<TOPCItemResult>& results,
                             std::vector<HRESULT>& errors) = 0;
    virtual HRESULT ValidateItems(const std::vector<TOPCItemDef>& items, std::int32_t blobUpdate,
                                  std::vector<TOPCItemResult>& results, std::vector<HRESULT>& errors) = 0;
    virtual HRESULT RemoveItems(const std::vector<OPCHANDLE>& serverHandles,
                                std::vector<HRESULT>& errors) = 0;
    virtual HRESULT SetActiveState(const std::vector<OPCHANDLE>& serverHandles, std::int32_t active,
                                   std::vector<HRESULT>& errors) = 0;
    virtual HRESULT SetClientHandles(const std::vector<OPCHANDLE>& serverHandles,
                                     const std::vector<OPCHANDLE>& clientHandles,
                                     std::vector<HRESULT>& errors) = 0;
    virtual HRESULT SetDataTypes(const std::vector<OPCHANDLE>& serverHandles,
                                 const std::vector<VARTYPE>& requestedDataTypes,
                                 std::vector<HRESULT>& errors) = 0;
    virtual HRESULT CreateEnumerator(const TGuid& iid, TComPtr<IUnknown>& enumerator) = 0;

protected:
    ~IOPCItemMgt() = default;
};

class IEnumOPCItemAttributes : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A55, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Next(std::uint32_t count, std::vector<TOPCItemAttributes>& items,
                         std::uint32_t& fetched) = 0;
    virtual HRESULT Skip(std::uint32_t count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(TComPtr<IEnumOPCItemAttributes>& copy) = 0;

protected:
    ~IEnumOPCItemAttributes() = default;
};

class IOPCSyncIO : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A52, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Read(std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                         std::vector<TOPCItemState>& values, std::vector<HRESULT>& errors) = 0;
    virtual HRESULT Write(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                          std::vector<HRESULT>& errors) = 0;

protected:
    ~IOPCSyncIO() = default;
};

class IOPCAsyncIO2 : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A71, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Read(const std::vector<OPCHANDLE>& serverHandles, std::uint32_t transactionID,
                         std::uint32_t& cancelID, std::vector<HRESULT>& errors) = 0;
    virtual HRESULT Write(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                          std::uint32_t transactionID, std::uint32_t& cancelID,
                          std::vector<HRESULT>& errors) = 0;
    virtual HRESULT Refresh2(std::uint32_t source, std::uint32_t transactionID, std::uint32_t& cancelID) = 0;
    virtual HRESULT Cancel2(std::uint32_t cancelID) = 0;
    virtual HRESULT SetEnable(std::int32_t enable) = 0;
    virtual HRESULT GetEnable(std::int32_t& enable) = 0;

protected:
    ~IOPCAsyncIO2() = default;
};

// Data Access 1.0 asynchronous I/O, answered through IDataObject advise sinks.
class IOPCAsyncIO : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A53, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Read(std::uint32_t connection, std::uint32_t source,
                         const std::vector<OPCHANDLE>& serverHandles, std::uint32_t& transactionID,
                         std::vector<HRESULT>& errors) = 0;
    virtual HRESULT Write(std::uint32_t connection, const std::vector<OPCHANDLE>& serverHandles,
                          const std::vector<TVariant>& values, std::uint32_t& transactionID,
                          std::vector<HRESULT>& errors) = 0;
    virtual HRESULT Refresh(std::uint32_t connection, std::uint32_t source, std::uint32_t& transactionID) = 0;
    virtual HRESULT Cancel(std::uint32_t transactionID) = 0;

protected:
    ~IOPCAsyncIO() = default;
};

// The client's sink for DA 2.0 callbacks. Arrays have one entry per item.
class IOPCDataCallback : public IUnknown {
public:
    static constexpr TGuid Iid{0x39C13A70, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT OnDataChange(std::uint32_t transactionID, OPCHANDLE clientGroup, HRESULT masterQuality,
                                 HRESULT masterError, const std::vector<OPCHANDLE>& clientItems,
                                 const std::vector<TVariant>& values,
                                 const std::vector<std::uint16_t>& qualities,
                                 const std::vector<TFileTime>& timeStamps,
                                 const std::vector<HRESULT>& errors) = 0;
    virtual HRESULT OnReadComplete(std::uint32_t transactionID, OPCHANDLE clientGroup, HRESULT masterQuality,
                                   HRESULT masterError, const std::vector<OPCHANDLE>& clientItems,
                                   const std::vector<TVariant>& values,
                                   const std::vector<std::uint16_t>& qualities,
                                   const std::vector<TFileTime>& timeStamps,
                                   const std::vector<HRESULT>& errors) = 0;
    virtual HRESULT OnWriteComplete(std::uint32_t transactionID, OPCHANDLE clientGroup, HRESULT masterError,
                                    const std::vector<OPCHANDLE>& clientItems,
                                    const std::vector<HRESULT>& errors) = 0;
    virtual HRESULT OnCancelComplete(std::uint32_t transactionID, OPCHANDLE clientGroup) = 0;

protected:
    ~IOPCDataCallback() = default;
};

} // namespace dravon
