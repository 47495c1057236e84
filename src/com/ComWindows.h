// The Windows side of the COM binding: the core's OPC headers first, then the Windows,
// OLE and widl headers. The order matters: the core's names S_OK, E_FAIL, VT_... and
// RegisterClipboardFormat are macros in the Windows headers. Every file of this folder
// includes this header instead of any of them.
//
// Inside namespace dravon::com the COM names (IUnknown, HRESULT, IEnumString, ...) are the
// Windows ones; the core's stand-ins are written dravon::IUnknown and so on.
#pragma once

// clang-format off
#include "opc/DA2.h"
#include "opc/DA2ClassFactory.h"
#include "opc/HResult.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCDataStream.h"
#include "opc/OPCGroup.h"
#include "opc/OPCInterfaces.h"
#include "opc/Variant.h"

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <comcat.h>

#include "opccomn.h"
#include "opcda.h"
// clang-format on

#undef RegisterClipboardFormat
#undef GetObject

namespace dravon::com {

using ::HRESULT;
using ::IAdviseSink;
using ::IClassFactory;
using ::IConnectionPoint;
using ::IConnectionPointContainer;
using ::IDataObject;
using ::IEnumOPCItemAttributes;
using ::IEnumString;
using ::IEnumUnknown;
using ::IOPCAsyncIO;
using ::IOPCAsyncIO2;
using ::IOPCBrowseServerAddressSpace;
using ::IOPCCommon;
using ::IOPCDataCallback;
using ::IOPCGroupStateMgt;
using ::IOPCItemMgt;
using ::IOPCItemProperties;
using ::IOPCServer;
using ::IOPCShutdown;
using ::IOPCSyncIO;
using ::IUnknown;
using ::OPCHANDLE;
using ::VARTYPE;

} // namespace dravon::com
