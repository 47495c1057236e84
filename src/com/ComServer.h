// The COM server of dravon.exe: the class object of CLSID DravonOPC.DA2 registered with
// CoRegisterClassObject (REGCLS_MULTIPLEUSE), the one adapter per stand-in group (COM
// identity), and the server's lifetime: every adapter and LockServer counts, and when the
// count returns to zero OnLastRelease runs (a server started by COM then ends).
//
// Use on the main (single-threaded apartment) thread, after CoInitializeEx:
//   TComServer com(*opc.Factory(), *opc.Connections(), [&] { loop.Post(quit); });
//   com.RegisterClassObject();   // clients can connect from now on
//   ... message loop ...
//   com.Stop();                  // before the connection list goes
#pragma once

#include "com/ComWindows.h"

#include <functional>
#include <unordered_map>
#include <unordered_set>

namespace dravon::com {

class TComGroup;
class TComRefCounted;

class TComServer {
public:
    // onLastRelease runs inside the Release that dropped the last count: post the end, do
    // not end there.
    TComServer(dravon::TDA2ClassFactory& factory, dravon::TOPCDAConnectionCollection& connections,
               std::function<void()> onLastRelease);
    ~TComServer();
    TComServer(const TComServer&) = delete;
    TComServer& operator=(const TComServer&) = delete;

    // CoRegisterClassObject for the server class; the result of COM.
    HRESULT RegisterClassObject();
    // Revokes the class object and disconnects every client from its objects.
    void Stop();

    dravon::TDA2ClassFactory& Factory() const { return Factory_; }
    dravon::TOPCDAConnectionCollection& Connections() const { return Connections_; }

    // The adapter of a stand-in group (made on first use) asked for riid.
    HRESULT GroupInterface(dravon::TOPCGroup& group, REFIID riid, void** object);
    // The stand-in group behind any of its interfaces, or null.
    static dravon::TOPCGroup* GroupOf(const dravon::TComPtr<dravon::IUnknown>& unknown);

    // Lifetime: adapters (called by the adapters themselves) and locks.
    void ObjectCreated(TComRefCounted& object);
    void ObjectReleased(TComRefCounted& object);
    void Lock(bool lock);
    std::size_t ObjectCount() const { return Objects_.size(); }
    void GroupGone(TComGroup& group);

private:
    void CheckIdle();

    dravon::TDA2ClassFactory& Factory_;
    dravon::TOPCDAConnectionCollection& Connections_;
    std::function<void()> OnLastRelease_;
    std::unordered_map<const dravon::TOPCGroup*, TComGroup*> Groups_;
    std::unordered_set<TComRefCounted*> Objects_;
    LONG Locks_ = 0;
    DWORD Cookie_ = 0;
    IClassFactory* ClassObject_ = nullptr;
};

} // namespace dravon::com
