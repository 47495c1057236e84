// A connection point of an OPC object (IOPCShutdown of a server object, IOPCDataCallback of
// a group). It lives inside its container and shares the container's reference count, so
// a client holding the point keeps the container alive.
#pragma once

#include "opc/ComInterfaces.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace dravon {

class TConnectionPoint : public IConnectionPoint {
public:
    // controller: the containing object's IUnknown (reference counting is forwarded to it).
    // onChange(sink, connected) reports each Advise and Unadvise to the container.
    TConnectionPoint(IUnknown& controller, IConnectionPointContainer& container, const TGuid& iid,
                     std::uint32_t maxConnections,
                     std::function<void(IUnknown* sink, bool connected)> onChange);
    TConnectionPoint(const TConnectionPoint&) = delete;
    TConnectionPoint& operator=(const TConnectionPoint&) = delete;
    ~TConnectionPoint() = default;

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    HRESULT GetConnectionInterface(TGuid& iid) override;
    HRESULT GetConnectionPointContainer(TComPtr<IConnectionPointContainer>& container) override;
    // E_POINTER for no sink; CONNECT_E_CANNOTCONNECT when the sink does not give the
    // point's interface; CONNECT_E_ADVISELIMIT when the point is full.
    HRESULT Advise(IUnknown* sink, std::uint32_t& cookie) override;
    // CONNECT_E_NOCONNECTION for an unknown cookie.
    HRESULT Unadvise(std::uint32_t cookie) override;
    HRESULT EnumConnections(TComPtr<IUnknown>& enumConnections) override; // E_NOTIMPL

    const TGuid& Interface() const { return Iid_; }
    std::size_t ConnectionCount() const { return Connections_.size(); }
    // The first connected sink (as the point's interface), or null.
    TComPtr<IUnknown> FirstSink() const;
    // Drops every connection without telling the container (the container is going away).
    void DisconnectAll();

private:
    struct TConnection {
        std::uint32_t Cookie = 0;
        TComPtr<IUnknown> Sink;
    };

    IUnknown& Controller_;
    IConnectionPointContainer& Container_;
    TGuid Iid_;
    std::uint32_t MaxConnections_;
    std::function<void(IUnknown*, bool)> OnChange_;
    std::vector<TConnection> Connections_;
    std::uint32_t NextCookie_ = 1;
};

} // namespace dravon
