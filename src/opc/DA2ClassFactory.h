// The class factory through which a client (a COM binding, the OPC UA endpoint, a test)
// creates a server object.
#pragma once

#include "opc/ComInterfaces.h"
#include "opc/ComObject.h"

namespace dravon {

struct TServerContext;
class TOPCDAConnectionCollection;

// The server class's ID, as registered ({FA72F982-0A03-494D-A52D-0064A9E3E423}).
inline constexpr TGuid CLSID_DravonDA2{
    0xFA72F982, 0x0A03, 0x494D, {0xA5, 0x2D, 0x00, 0x64, 0xA9, 0xE3, 0xE4, 0x23}};

class TDA2ClassFactory : public TComObject, public IClassFactory {
public:
    TDA2ClassFactory(TServerContext& context, TOPCDAConnectionCollection& connections);

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    // A new server object, asked for iid. Aggregation is not supported.
    HRESULT CreateInstance(IUnknown* outer, const TGuid& iid, TComPtr<IUnknown>& object) override;
    HRESULT LockServer(std::int32_t lock) override;
    std::int32_t LockCount() const { return Locks_; }

private:
    TServerContext& Context_;
    TOPCDAConnectionCollection& Connections_;
    std::int32_t Locks_ = 0;
};

} // namespace dravon
