#include "com/ComSinks.h"

#include "com/ComConvert.h"

namespace dravon::com {

namespace {

template <class Self, class Interface>
dravon::HRESULT AnswerQueryInterface(Self* self, const dravon::TGuid& iid, dravon::IUnknown** object) {
    if (!object) return E_POINTER;
    if (iid == dravon::IUnknown::Iid || iid == Interface::Iid) {
        *object = static_cast<Interface*>(self);
        self->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// The arrays of one data callback, freed (with the values' strings and arrays) after it.
struct TCallbackArrays {
    std::vector<OPCHANDLE> Handles;
    std::vector<VARIANT> Values;
    std::vector<WORD> Qualities;
    std::vector<FILETIME> Times;
    std::vector<HRESULT> Errors;

    TCallbackArrays(const std::vector<dravon::OPCHANDLE>& clientItems,
                    const std::vector<dravon::TVariant>& values, const std::vector<std::uint16_t>& qualities,
                    const std::vector<dravon::TFileTime>& timeStamps,
                    const std::vector<dravon::HRESULT>& errors)
        : Handles(clientItems.begin(), clientItems.end()), Values(values.size()),
          Qualities(qualities.begin(), qualities.end()), Errors(errors.begin(), errors.end()) {
        for (std::size_t i = 0; i < values.size(); ++i)
            if (FAILED(ToVariant(values[i], &Values[i]))) VariantInit(&Values[i]);
        for (const auto& t : timeStamps) Times.push_back(ToFileTime(t));
    }
    ~TCallbackArrays() {
        for (auto& v : Values) VariantClear(&v);
    }
    TCallbackArrays(const TCallbackArrays&) = delete;
    TCallbackArrays& operator=(const TCallbackArrays&) = delete;
};

} // namespace

TShutdownSink::TShutdownSink(::IOPCShutdown* sink) : Sink_(sink) { Sink_->AddRef(); }
TShutdownSink::~TShutdownSink() { Sink_->Release(); }

dravon::HRESULT TShutdownSink::QueryInterface(const dravon::TGuid& iid, dravon::IUnknown** object) {
    return AnswerQueryInterface<TShutdownSink, dravon::IOPCShutdown>(this, iid, object);
}

dravon::HRESULT TShutdownSink::ShutdownRequest(const std::string& reason) {
    const std::wstring text = Wide(reason);
    return Sink_->ShutdownRequest(text.c_str());
}

TDataCallbackSink::TDataCallbackSink(::IOPCDataCallback* sink) : Sink_(sink) { Sink_->AddRef(); }
TDataCallbackSink::~TDataCallbackSink() { Sink_->Release(); }

dravon::HRESULT TDataCallbackSink::QueryInterface(const dravon::TGuid& iid, dravon::IUnknown** object) {
    return AnswerQueryInterface<TDataCallbackSink, dravon::IOPCDataCallback>(this, iid, object);
}

dravon::HRESULT TDataCallbackSink::OnDataChange(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup,
                                                dravon::HRESULT masterQuality, dravon::HRESULT masterError,
                                                const std::vector<dravon::OPCHANDLE>& clientItems,
                                                const std::vector<dravon::TVariant>& values,
                                                const std::vector<std::uint16_t>& qualities,
                                                const std::vector<dravon::TFileTime>& timeStamps,
                                                const std::vector<dravon::HRESULT>& errors) {
    TCallbackArrays a(clientItems, values, qualities, timeStamps, errors);
    return Sink_->OnDataChange(transactionID, clientGroup, masterQuality, masterError,
                               static_cast<DWORD>(a.Handles.size()), a.Handles.data(), a.Values.data(),
                               a.Qualities.data(), a.Times.data(), a.Errors.data());
}

dravon::HRESULT TDataCallbackSink::OnReadComplete(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup,
                                                  dravon::HRESULT masterQuality, dravon::HRESULT masterError,
                                                  const std::vector<dravon::OPCHANDLE>& clientItems,
                                                  const std::vector<dravon::TVariant>& values,
                                                  const std::vector<std::uint16_t>& qualities,
                                                  const std::vector<dravon::TFileTime>& timeStamps,
                                                  const std::vector<dravon::HRESULT>& errors) {
    TCallbackArrays a(clientItems, values, qualities, timeStamps, errors);
    return Sink_->OnReadComplete(transactionID, clientGroup, masterQuality, masterError,
                                 static_cast<DWORD>(a.Handles.size()), a.Handles.data(), a.Values.data(),
                                 a.Qualities.data(), a.Times.data(), a.Errors.data());
}

dravon::HRESULT TDataCallbackSink::OnWriteComplete(std::uint32_t transactionID, dravon::OPCHANDLE clientGroup,
                                                   dravon::HRESULT masterError,
                                                   const std::vector<dravon::OPCHANDLE>& clientItems,
                                                   const std::vector<dravon::HRESULT>& errors) {
    std::vector<OPCHANDLE> handles(clientItems.begin(), clientItems.end());
    std::vector<HRESULT> results(errors.begin(), errors.end());
    return Sink_->OnWriteComplete(transactionID, clientGroup, masterError, static_cast<DWORD>(handles.size()),
                                  handles.data(), results.data());
}

dravon::HRESULT TDataCallbackSink::OnCancelComplete(std::uint32_t transactionID,
                                                    dravon::OPCHANDLE clientGroup) {
    return Sink_->OnCancelComplete(transactionID, clientGroup);
}

TAdviseSink::TAdviseSink(::IAdviseSink* sink, dravon::TOPCDAConnectionCollection& connections)
    : Sink_(sink), Connections_(connections) {
    Sink_->AddRef();
}
TAdviseSink::~TAdviseSink() { Sink_->Release(); }

dravon::HRESULT TAdviseSink::QueryInterface(const dravon::TGuid& iid, dravon::IUnknown** object) {
    return AnswerQueryInterface<TAdviseSink, dravon::IAdviseSink>(this, iid, object);
}

void TAdviseSink::OnDataChange(const dravon::TFormatEtc& format, const dravon::TStgMedium& medium) {
    HGLOBAL block = GlobalAlloc(GMEM_FIXED, medium.Global.size());
    if (!block) return;
    CopyMemory(block, medium.Global.data(), medium.Global.size());
    FORMATETC formatEtc{WindowsClipFormat(format.ClipFormat, Connections_), nullptr, DVASPECT_CONTENT,
                        format.Index, TYMED_HGLOBAL};
    STGMEDIUM stgMedium{};
    stgMedium.tymed = TYMED_HGLOBAL;
    stgMedium.hGlobal = block;
    stgMedium.pUnkForRelease = nullptr;
    Sink_->OnDataChange(&formatEtc, &stgMedium);
    GlobalFree(block);
}

namespace {

constexpr const char* StreamFormatNames[] = {dravon::StreamFormatDataTimeName, dravon::StreamFormatDataName,
                                             dravon::StreamFormatWriteCompleteName};

} // namespace

std::uint16_t CoreClipFormat(CLIPFORMAT format, dravon::TOPCDAConnectionCollection& connections) {
    wchar_t name[64] = {};
    if (GetClipboardFormatNameW(format, name, 63) <= 0) return 0;
    const std::string text = Utf8(name);
    for (const char* known : StreamFormatNames)
        if (text == known) return connections.RegisterClipboardFormat(known);
    return 0;
}

CLIPFORMAT WindowsClipFormat(std::uint16_t format, dravon::TOPCDAConnectionCollection& connections) {
    for (const char* known : StreamFormatNames)
        if (connections.RegisterClipboardFormat(known) == format)
            return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(Wide(known).c_str()));
    return 0;
}

} // namespace dravon::com
