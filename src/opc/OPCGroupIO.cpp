#include "opc/OPCGroupIO.h"

#include "opc/OPCGroup.h"

namespace dravon {

// Reads, writes and callbacks arrive with the I/O implementation; until then every
// method answers E_NOTIMPL with its out-parameters empty.
TOPCGroupIO::TOPCGroupIO(TOPCGroup& group) : Group_(group) {}
TOPCGroupIO::~TOPCGroupIO() = default;

void TOPCGroupIO::Cycle(std::uint32_t) {}
void TOPCGroupIO::Clear() {}

HRESULT TOPCGroupIO::SyncRead(std::uint32_t, const std::vector<OPCHANDLE>&, std::vector<TOPCItemState>& values,
                              std::vector<HRESULT>& errors) {
    values.clear();
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::SyncWrite(const std::vector<OPCHANDLE>&, const std::vector<TVariant>&,
                               std::vector<HRESULT>& errors) {
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::AsyncRead2(const std::vector<OPCHANDLE>&, std::uint32_t, std::uint32_t&,
                                std::vector<HRESULT>& errors) {
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::AsyncWrite2(const std::vector<OPCHANDLE>&, const std::vector<TVariant>&, std::uint32_t,
                                 std::uint32_t&, std::vector<HRESULT>& errors) {
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::Refresh2(std::uint32_t, std::uint32_t, std::uint32_t&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::Cancel2(std::uint32_t) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::SetEnable(std::int32_t) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::GetEnable(std::int32_t&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::AsyncRead1(std::uint32_t, std::uint32_t, const std::vector<OPCHANDLE>&, std::uint32_t&,
                                std::vector<HRESULT>& errors) {
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::AsyncWrite1(std::uint32_t, const std::vector<OPCHANDLE>&, const std::vector<TVariant>&,
                                 std::uint32_t&, std::vector<HRESULT>& errors) {
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::Refresh1(std::uint32_t, std::uint32_t, std::uint32_t&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::Cancel1(std::uint32_t) { return E_FAIL; }
HRESULT TOPCGroupIO::GetData(const TFormatEtc&, TStgMedium&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::GetDataHere(const TFormatEtc&, TStgMedium&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::QueryGetData(const TFormatEtc&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::GetCanonicalFormatEtc(const TFormatEtc&, TFormatEtc*) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::SetData(const TFormatEtc&, const TStgMedium&, std::int32_t) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::EnumFormatEtc(std::uint32_t, TComPtr<IUnknown>& enumFormats) {
    enumFormats.Reset();
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::DAdvise(const TFormatEtc&, std::uint32_t, IAdviseSink*, std::uint32_t& connection) {
    connection = 0;
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::DUnadvise(std::uint32_t) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::EnumDAdvise(TComPtr<IUnknown>* enumAdvise) {
    if (enumAdvise) enumAdvise->Reset();
    return E_NOTIMPL;
}

} // namespace dravon
