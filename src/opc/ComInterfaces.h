// The standard COM interfaces the OPC objects offer or call, with their real interface
// IDs. Strings are UTF-8 std::string; out-arrays are std::vector and out-interfaces
// TComPtr, cleared by the callee when the call fails (the COM rule that client-owned
// results are null on failure).
#pragma once

#include "opc/ComPtr.h"
#include "opc/Unknown.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravon {

class IClassFactory : public IUnknown {
public:
    static constexpr TGuid Iid{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT CreateInstance(IUnknown* outer, const TGuid& iid, TComPtr<IUnknown>& object) = 0;
    virtual HRESULT LockServer(std::int32_t lock) = 0;

protected:
    ~IClassFactory() = default;
};

class IEnumString : public IUnknown {
public:
    static constexpr TGuid Iid{0x00000101, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    // Up to count texts from the position onwards; fetched may be null only when count is 1.
    virtual HRESULT Next(std::uint32_t count, std::vector<std::string>& elements, std::uint32_t* fetched) = 0;
    virtual HRESULT Skip(std::uint32_t count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(TComPtr<IEnumString>& copy) = 0;

protected:
    ~IEnumString() = default;
};

class IEnumUnknown : public IUnknown {
public:
    static constexpr TGuid Iid{0x00000100, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT Next(std::uint32_t count, std::vector<TComPtr<IUnknown>>& elements,
                         std::uint32_t* fetched) = 0;
    virtual HRESULT Skip(std::uint32_t count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(TComPtr<IEnumUnknown>& copy) = 0;

protected:
    ~IEnumUnknown() = default;
};

class IConnectionPointContainer;

class IConnectionPoint : public IUnknown {
public:
    static constexpr TGuid Iid{0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
    virtual HRESULT GetConnectionInterface(TGuid& iid) = 0;
    virtual HRESULT GetConnectionPointContainer(TComPtr<IConnectionPointContainer>& container) = 0;
    // The sink must give the point's interface; cookie identifies the connection.
    virtual HRESULT Advise(IUnknown* sink, std::uint32_t& cookie) = 0;
    virtual HRESULT Unadvise(std::uint32_t cookie) = 0;
    virtual HRESULT EnumConnections(TComPtr<IUnknown>& enumConnections) = 0;

protected:
    ~IConnectionPoint() = default;
};

class IConnectionPointContainer : public IUnknown {
public:
    static constexpr TGuid Iid{0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
    virtual HRESULT EnumConnectionPoints(TComPtr<IUnknown>& enumPoints) = 0;
    virtual HRESULT FindConnectionPoint(const TGuid& iid, TComPtr<IConnectionPoint>& point) = 0;

protected:
    ~IConnectionPointContainer() = default;
};

// Data transfer of the version-1 streams (IDataObject / IAdviseSink).
inline constexpr std::uint32_t DVASPECT_CONTENT = 1;
inline constexpr std::uint32_t TYMED_HGLOBAL = 1;

struct TFormatEtc {
    std::uint16_t ClipFormat = 0;
    std::uint32_t Aspect = DVASPECT_CONTENT; // target device: none
    std::int32_t Index = -1;
    std::uint32_t Tymed = TYMED_HGLOBAL;
};

struct TStgMedium {
    std::uint32_t Tymed = TYMED_HGLOBAL;
    std::vector<std::uint8_t> Global; // the global memory block
};

class IAdviseSink : public IUnknown {
public:
    static constexpr TGuid Iid{0x0000010F, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual void OnDataChange(const TFormatEtc& format, const TStgMedium& medium) = 0;

protected:
    ~IAdviseSink() = default;
};

class IDataObject : public IUnknown {
public:
    static constexpr TGuid Iid{0x0000010E, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT GetData(const TFormatEtc& format, TStgMedium& medium) = 0;
    virtual HRESULT GetDataHere(const TFormatEtc& format, TStgMedium& medium) = 0;
    virtual HRESULT QueryGetData(const TFormatEtc& format) = 0;
    virtual HRESULT GetCanonicalFormatEtc(const TFormatEtc& format, TFormatEtc* canonical) = 0;
    virtual HRESULT SetData(const TFormatEtc& format, const TStgMedium& medium, std::int32_t release) = 0;
    virtual HRESULT EnumFormatEtc(std::uint32_t direction, TComPtr<IUnknown>& enumFormats) = 0;
    virtual HRESULT DAdvise(const TFormatEtc& format, std::uint32_t advf, IAdviseSink* sink,
                            std::uint32_t& connection) = 0;
    virtual HRESULT DUnadvise(std::uint32_t connection) = 0;
    virtual HRESULT EnumDAdvise(TComPtr<IUnknown>* enumAdvise) = 0;

protected:
    ~IDataObject() = default;
};

} // namespace dravon
