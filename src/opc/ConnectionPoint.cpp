#include "opc/ConnectionPoint.h"

#include <algorithm>

namespace dravon {

TConnectionPoint::TConnectionPoint(IUnknown& controller, IConnectionPointContainer& container,
                                   const TGuid& iid, std::uint32_t maxConnections,
                                   std::function<void(IUnknown* sink, bool connected)> onChange)
    : Controller_(controller), Container_(container), Iid_(iid), MaxConnections_(maxConnections),
      OnChange_(std::move(onChange)) {}

HRESULT TConnectionPoint::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    if (iid == IUnknown::Iid || iid == IConnectionPoint::Iid) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

std::uint32_t TConnectionPoint::AddRef() { return Controller_.AddRef(); }
std::uint32_t TConnectionPoint::Release() { return Controller_.Release(); }

HRESULT TConnectionPoint::GetConnectionInterface(TGuid& iid) {
    iid = Iid_;
    return S_OK;
}

HRESULT TConnectionPoint::GetConnectionPointContainer(TComPtr<IConnectionPointContainer>& container) {
    container = TComPtr<IConnectionPointContainer>(&Container_);
    return S_OK;
}

HRESULT TConnectionPoint::Advise(IUnknown* sink, std::uint32_t& cookie) {
    cookie = 0;
    if (!sink) return E_POINTER;
    IUnknown* raw = nullptr;
    if (Failed(sink->QueryInterface(Iid_, &raw)) || !raw) return CONNECT_E_CANNOTCONNECT;
    TComPtr<IUnknown> held = TComPtr<IUnknown>::Attach(raw);
    if (Connections_.size() >= MaxConnections_) return CONNECT_E_ADVISELIMIT;
    cookie = NextCookie_++;
    if (NextCookie_ == 0) NextCookie_ = 1;
    Connections_.push_back({cookie, held});
    if (OnChange_) OnChange_(held.Get(), true);
    return S_OK;
}

HRESULT TConnectionPoint::Unadvise(std::uint32_t cookie) {
    auto it = std::find_if(Connections_.begin(), Connections_.end(),
                           [cookie](const TConnection& c) { return c.Cookie == cookie; });
    if (it == Connections_.end()) return CONNECT_E_NOCONNECTION;
    // The sink stays referenced until the container has heard of the change.
    TComPtr<IUnknown> sink = std::move(it->Sink);
    Connections_.erase(it);
    if (OnChange_) OnChange_(sink.Get(), false);
    return S_OK;
}

HRESULT TConnectionPoint::EnumConnections(TComPtr<IUnknown>& enumConnections) {
    enumConnections.Reset();
    return E_NOTIMPL;
}

TComPtr<IUnknown> TConnectionPoint::FirstSink() const {
    return Connections_.empty() ? TComPtr<IUnknown>() : Connections_.front().Sink;
}

void TConnectionPoint::DisconnectAll() {
    std::vector<TConnection> dropped;
    dropped.swap(Connections_); // released after the list is consistent again
}

} // namespace dravon
