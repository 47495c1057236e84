// The client's sinks as the core's stand-in interfaces: the core calls its
// IOPCShutdown, IOPCDataCallback and IAdviseSink with strings and vectors, and these
// adapters pass the calls on to the client's real COM sinks as BSTRs, task arrays,
// VARIANTs and HGLOBAL streams.
#pragma once

#include "com/ComWindows.h"
#include "opc/ComObject.h"

namespace dravon::com {

class TShutdownSink : public dravon::TComObject, public dravon::IOPCShutdown {
public:
    explicit TShutdownSink(::IOPCShutdown* sink);
    ~TShutdownSink() override;

    dravon::HRESULT QueryInterface(const dravon::TGuid& iid, dravon::IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }
    dravon::HRESULT ShutdownRequest(const std::string& reason) override;

private:
    ::IOPCShutdown* Sink_;
};

class TDataCallbackSink : public dravon::TComObject, public dravon::IOPCDataCallback {
public:
    explicit TDataCallbackSink(::IOPCDataCallback* sink);
    ~TDataCallbackSink() override;

    dravon::HRESULT QueryInterface(const dravon::TGuid& iid, dravon::IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    dravon::HRESULT OnDataChange(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup,
                                 dravon::HRESULT masterQuality, dravon::HRESULT masterError,
                                 const std::vector<dravon::OPCHANDLE>& clientItems,
                                 const std::vector<dravon::TVariant>& values,
                                 const std::vector<std::uint16_t>& qualities,
                                 const std::vector<dravon::TFileTime>& timeStamps,
                                 const std::vector<dravon::HRESULT>& errors) override;
    dravon::HRESULT OnReadComplete(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup,
                                   dravon::HRESULT masterQuality, dravon::HRESULT masterError,
                                   const std::vector<dravon::OPCHANDLE>& clientItems,
                                   const std::vector<dravon::TVariant>& values,
                                   const std::vector<std::uint16_t>& qualities,
                                   const std::vector<dravon::TFileTime>& timeStamps,
                                   const std::vector<dravon::HRESULT>& errors) override;
    dravon::HRESULT OnWriteComplete(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup,
                                    dravon::HRESULT masterError,
                                    const std::vector<dravon::OPCHANDLE>& clientItems,
                                    const std::vector<dravon::HRESULT>& errors) override;
    dravon::HRESULT OnCancelComplete(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup) override;

private:
    ::IOPCDataCallback* Sink_;
};

// A version-1 advise sink. The core names stream formats by its own clipboard ids; the
// client by the ids Windows registered for the same names.
class TAdviseSink : public dravon::TComObject, public dravon::IAdviseSink {
public:
    TAdviseSink(::IAdviseSink* sink, dravon::TOPCDAConnectionCollection& connections);
    ~TAdviseSink() override;

    dravon::HRESULT QueryInterface(const dravon::TGuid& iid, dravon::IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }
    void OnDataChange(const dravon::TFormatEtc& format, const dravon::TStgMedium& medium) override;

private:
    ::IAdviseSink* Sink_;
    dravon::TOPCDAConnectionCollection& Connections_;
};

// The three stream formats: a Windows clipboard format as the core's id (0 for any other
// format) and back.
std::uint16_t CoreClipFormat(CLIPFORMAT format, dravon::TOPCDAConnectionCollection& connections);
CLIPFORMAT WindowsClipFormat(std::uint16_t format, dravon::TOPCDAConnectionCollection& connections);

} // namespace dravon::com
