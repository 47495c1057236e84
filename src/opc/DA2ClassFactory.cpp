#include "opc/DA2ClassFactory.h"

#include "opc/DA2.h"

#include <new>

namespace dravon {

TDA2ClassFactory::TDA2ClassFactory(TServerContext& context, TOPCDAConnectionCollection& connections)
    : Context_(context), Connections_(connections) {}

HRESULT TDA2ClassFactory::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    if (iid == IUnknown::Iid || iid == IClassFactory::Iid) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT TDA2ClassFactory::CreateInstance(IUnknown* outer, const TGuid& iid, TComPtr<IUnknown>& object) {
    object.Reset();
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
        auto server = MakeCom<TDA2>(Context_, Connections_);
        IUnknown* raw = nullptr;
        HRESULT hr = server->QueryInterface(iid, &raw);
        if (Succeeded(hr) && raw) object = TComPtr<IUnknown>::Attach(raw);
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT TDA2ClassFactory::LockServer(std::int32_t lock) {
    Locks_ += lock ? 1 : -1;
    if (Locks_ < 0) Locks_ = 0;
    return S_OK;
}

} // namespace dravon
