// 32-bit result codes of COM and of the OPC Data Access standard, with their standard
// values, so that results cross any future COM or network binding unchanged.
#pragma once

#include <cstdint>

namespace dravon {

using HRESULT = std::int32_t;

constexpr HRESULT MakeHResult(std::uint32_t code) { return static_cast<HRESULT>(code); }
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// COM
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHResult(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHResult(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHResult(0x80010108u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);

// OLE automation (VARIANT conversion)
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005u);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008u);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000Au);

// Connection points
inline constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHResult(0x80040200u);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHResult(0x80040201u);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHResult(0x80040202u);
inline constexpr HRESULT CONNECT_E_OVERRIDDEN = MakeHResult(0x80040203u);

// Returned by enumerators when fewer elements than requested remain.
inline constexpr HRESULT RPC_X_ENUM_VALUE_OUT_OF_RANGE = 1781;

// OPC Data Access
inline constexpr HRESULT OPC_E_INVALIDHANDLE = MakeHResult(0xC0040001u);
inline constexpr HRESULT OPC_E_BADTYPE = MakeHResult(0xC0040004u);
inline constexpr HRESULT OPC_E_PUBLIC = MakeHResult(0xC0040005u);
inline constexpr HRESULT OPC_E_BADRIGHTS = MakeHResult(0xC0040006u);
inline constexpr HRESULT OPC_E_UNKNOWNITEMID = MakeHResult(0xC0040007u);
inline constexpr HRESULT OPC_E_INVALIDITEMID = MakeHResult(0xC0040008u);
inline constexpr HRESULT OPC_E_INVALIDFILTER = MakeHResult(0xC0040009u);
inline constexpr HRESULT OPC_E_UNKNOWNPATH = MakeHResult(0xC004000Au);
inline constexpr HRESULT OPC_E_RANGE = MakeHResult(0xC004000Bu);
inline constexpr HRESULT OPC_E_DUPLICATENAME = MakeHResult(0xC004000Cu);
inline constexpr HRESULT OPC_S_UNSUPPORTEDRATE = MakeHResult(0x0004000Du);
inline constexpr HRESULT OPC_S_CLAMP = MakeHResult(0x0004000Eu);
inline constexpr HRESULT OPC_S_INUSE = MakeHResult(0x0004000Fu);
inline constexpr HRESULT OPC_E_INVALIDCONFIGFILE = MakeHResult(0xC0040010u);
inline constexpr HRESULT OPC_E_NOTFOUND = MakeHResult(0xC0040011u);
inline constexpr HRESULT OPC_E_INVALID_PID = MakeHResult(0xC0040203u);
inline constexpr HRESULT OPC_S_ALREADYACKED = MakeHResult(0x00040200u);
inline constexpr HRESULT OPC_S_INVALIDBUFFERTIME = MakeHResult(0x00040201u);
inline constexpr HRESULT OPC_S_INVALIDMAXSIZE = MakeHResult(0x00040202u);
inline constexpr HRESULT OPC_E_INVALIDTIME = MakeHResult(0xC0040204u);
inline constexpr HRESULT OPC_E_BUSY = MakeHResult(0xC0040205u);
inline constexpr HRESULT OPC_E_NOINFO = MakeHResult(0xC0040206u);

} // namespace dravon
