// TOPCGroupIO: a group's reads and writes (IOPCSyncIO, IOPCAsyncIO2, IOPCAsyncIO), its
// version-1 advise sinks (IDataObject), its pending transactions and its update cycle.
// The group forwards those interface methods here and runs Cycle on every server tick.
#pragma once

#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <vector>

namespace dravon {

class TOPCGroup;

class TOPCGroupIO {
public:
    explicit TOPCGroupIO(TOPCGroup& group);
    ~TOPCGroupIO();
    TOPCGroupIO(const TOPCGroupIO&) = delete;
    TOPCGroupIO& operator=(const TOPCGroupIO&) = delete;

    TOPCGroup& Group() const { return Group_; }

    // The group cycle of one server tick (tick count taken once by the server tick).
    void Cycle(std::uint32_t tick);
    // Drops pending transactions, request slots and advise sinks (the group is detached).
    void Clear();

    HRESULT SyncRead(std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                     std::vector<TOPCItemState>& values, std::vector<HRESULT>& errors);
    HRESULT SyncWrite(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                      std::vector<HRESULT>& errors);

    HRESULT AsyncRead2(const std::vector<OPCHANDLE>& serverHandles, std::uint32_t transactionID,
                       std::uint32_t& cancelID, std::vector<HRESULT>& errors);
    HRESULT AsyncWrite2(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                        std::uint32_t transactionID, std::uint32_t& cancelID, std::vector<HRESULT>& errors);
    HRESULT Refresh2(std::uint32_t source, std::uint32_t transactionID, std::uint32_t& cancelID);
    HRESULT Cancel2(std::uint32_t cancelID);
    HRESULT SetEnable(std::int32_t enable);
    HRESULT GetEnable(std::int32_t& enable);

    HRESULT AsyncRead1(std::uint32_t connection, std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                       std::uint32_t& transactionID, std::vector<HRESULT>& errors);
    HRESULT AsyncWrite1(std::uint32_t connection, const std::vector<OPCHANDLE>& serverHandles,
                        const std::vector<TVariant>& values, std::uint32_t& transactionID,
                        std::vector<HRESULT>& errors);
    HRESULT Refresh1(std::uint32_t connection, std::uint32_t source, std::uint32_t& transactionID);
    HRESULT Cancel1(std::uint32_t transactionID);

    HRESULT GetData(const TFormatEtc& format, TStgMedium& medium);
    HRESULT GetDataHere(const TFormatEtc& format, TStgMedium& medium);
    HRESULT QueryGetData(const TFormatEtc& format);
    HRESULT GetCanonicalFormatEtc(const TFormatEtc& format, TFormatEtc* canonical);
    HRESULT SetData(const TFormatEtc& format, const TStgMedium& medium, std::int32_t release);
    HRESULT EnumFormatEtc(std::uint32_t direction, TComPtr<IUnknown>& enumFormats);
    HRESULT DAdvise(const TFormatEtc& format, std::uint32_t advf, IAdviseSink* sink, std::uint32_t& connection);
    HRESULT DUnadvise(std::uint32_t connection);
    HRESULT EnumDAdvise(TComPtr<IUnknown>* enumAdvise);

private:
    TOPCGroup& Group_;
};

} // namespace dravon
