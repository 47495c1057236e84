// An OPC client's IOPCDataCallback that records every call the server makes, for tests
// on the manual clock and against the simulator alike.
#pragma once

#include "opc/DataCallbackSink.h"

#include <functional>
#include <string>
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

class TRecordingSink : public TDataCallbackSink {
public:
    std::vector<TDataCall> Calls;
    std::function<void(const TDataCall&)> OnCall; // runs inside the server's callback

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
