// A client's IOPCDataCallback sink: the reference counting and interface answer that every
// client of a group repeats, and the advice to a group's connection point. A client derives
// from it, overrides the callbacks it wants (the others take the call and ignore it) and is
// created with MakeCom.
#pragma once

#include "opc/ComInterfaces.h"
#include "opc/ComObject.h"
#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <vector>

namespace dravon {

class TDataCallbackSink : public TComObject, public IOPCDataCallback {
public:
    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override {
        if (!object) return E_POINTER;
        if (iid == IUnknown::Iid || iid == IOPCDataCallback::Iid) {
            *object = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    HRESULT OnDataChange(std::uint32_t, OPCHANDLE, HRESULT, HRESULT, const std::vector<OPCHANDLE>&,
                         const std::vector<TVariant>&, const std::vector<std::uint16_t>&,
                         const std::vector<TFileTime>&, const std::vector<HRESULT>&) override {
        return S_OK;
    }
    HRESULT OnReadComplete(std::uint32_t, OPCHANDLE, HRESULT, HRESULT, const std::vector<OPCHANDLE>&,
                           const std::vector<TVariant>&, const std::vector<std::uint16_t>&,
                           const std::vector<TFileTime>&, const std::vector<HRESULT>&) override {
        return S_OK;
    }
    HRESULT OnWriteComplete(std::uint32_t, OPCHANDLE, HRESULT, const std::vector<OPCHANDLE>&,
                            const std::vector<HRESULT>&) override {
        return S_OK;
    }
    HRESULT OnCancelComplete(std::uint32_t, OPCHANDLE) override { return S_OK; }

    // Connects this sink to the IOPCDataCallback point of group (any interface of it);
    // point and cookie are what Unadvise needs later.
    HRESULT Advise(const TComPtr<IUnknown>& group, TComPtr<IConnectionPoint>& point, std::uint32_t& cookie) {
        auto container = InterfaceOf<IConnectionPointContainer>(group);
        if (!container) return E_NOINTERFACE;
        const HRESULT hr = container->FindConnectionPoint(IOPCDataCallback::Iid, point);
        if (Failed(hr)) return hr;
        return point->Advise(static_cast<IOPCDataCallback*>(this), cookie);
    }

protected:
    TDataCallbackSink() = default;
};

} // namespace dravon
