// An OPC client's sinks, recording every call the server makes, for tests on the manual
// clock and against the simulator alike: IOPCDataCallback, the version-1 streams of
// IAdviseSink and IOPCShutdown.
#pragma once

#include "opc/DataCallbackSink.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace dravon::test {

struct TDataCall {
    std::string Kind; // "data", "read", "write" or "cancel"
    std::uint32_t TransactionID = 0;
    OPCHANDLE Group = 0;
    HRESULT MasterQuality = S_OK;
    HRESULT MasterError = S_OK;
    std::vector<OPCHANDLE> Clients;
    std::vector<TVariant> Values;
    std::vector<std::uint16_t> Qualities;
    std::vector<TFileTime> Times;
    std::vector<HRESULT> Errors;
};

class TRecordingSink : public TDataCallbackSink, public IAdviseSink, public IOPCShutdown {
public:
    std::vector<TDataCall> Calls;
    std::function<void(const TDataCall&)> OnCall; // runs inside the server's callback
    std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> Streams; // format, bytes
    std::vector<std::string> Reasons;                                         // of shutdown requests

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override {
        if (object && iid == IAdviseSink::Iid)
            *object = static_cast<IAdviseSink*>(this);
        else if (object && iid == IOPCShutdown::Iid)
            *object = static_cast<IOPCShutdown*>(this);
        else
            return TDataCallbackSink::QueryInterface(iid, object);
        AddRef();
        return S_OK;
    }
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }
    void OnDataChange(const TFormatEtc& format, const TStgMedium& medium) override {
        Streams.emplace_back(format.ClipFormat, medium.Global);
    }
    HRESULT ShutdownRequest(const std::string& reason) override {
        Reasons.push_back(reason);
        return S_OK;
    }
    HRESULT OnDataChange(std::uint32_t tid, OPCHANDLE group, HRESULT mq, HRESULT me,
                         const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                         const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times,
                         const std::vector<HRESULT>& errors) override {
        return Record({"data", tid, group, mq, me, clients, values, qualities, times, errors});
    }
    HRESULT OnReadComplete(std::uint32_t tid, OPCHANDLE group, HRESULT mq, HRESULT me,
                           const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                           const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times,
                           const std::vector<HRESULT>& errors) override {
        return Record({"read", tid, group, mq, me, clients, values, qualities, times, errors});
    }
    HRESULT OnWriteComplete(std::uint32_t tid, OPCHANDLE group, HRESULT me,
                            const std::vector<OPCHANDLE>& clients,
                            const std::vector<HRESULT>& errors) override {
        return Record({"write", tid, group, S_OK, me, clients, {}, {}, {}, errors});
    }
    HRESULT OnCancelComplete(std::uint32_t tid, OPCHANDLE group) override {
        return Record({"cancel", tid, group, S_OK, S_OK, {}, {}, {}, {}, {}});
    }

    int Count(const std::string& kind) const {
        int n = 0;
        for (const auto& c : Calls) n += c.Kind == kind;
        return n;
    }
    // The last call of kind (an empty record when there is none).
    const TDataCall& Last(const std::string& kind) const {
        static const TDataCall none;
        for (auto it = Calls.rbegin(); it != Calls.rend(); ++it)
            if (it->Kind == kind) return *it;
        return none;
    }

private:
    HRESULT Record(TDataCall call) {
        Calls.push_back(std::move(call));
        if (OnCall) OnCall(Calls.back());
        return S_OK;
    }
};

} // namespace dravon::test
