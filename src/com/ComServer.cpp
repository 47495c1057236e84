#include "com/ComServer.h"

#include "com/ComConvert.h"
#include "com/ComObjects.h"

#include <new>
#include <vector>

namespace dravon::com {

namespace {

// The class object: creates a stand-in server object and hands out its adapter.
class TComClassFactory : public IClassFactory {
public:
    explicit TComClassFactory(TComServer& server) : Server_(server) {}
    virtual ~TComClassFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&Refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&Refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        dravon::TComPtr<dravon::IUnknown> created;
        dravon::HRESULT hr = Server_.Factory().CreateInstance(nullptr, dravon::IOPCServer::Iid, created);
        if (dravon::Failed(hr)) return Hr(hr);
        auto* standIn = static_cast<dravon::TDA2*>(static_cast<dravon::IOPCServer*>(created.Get()));
        TComServerObject* adapter = nullptr;
        try {
            adapter = new TComServerObject(Server_, dravon::TComPtr<dravon::TDA2>(standIn));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        adapter->AddRef();
        HRESULT result = adapter->QueryInterface(iid, object);
        adapter->Release(); // gone again when the client did not get an interface
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        Server_.Factory().LockServer(lock);
        Server_.Lock(lock != FALSE);
        return S_OK;
    }

private:
    TComServer& Server_;
    LONG Refs_ = 0;
};

} // namespace

TComServer::TComServer(dravon::TDA2ClassFactory& factory, dravon::TOPCDAConnectionCollection& connections,
                       std::function<void()> onLastRelease)
    : Factory_(factory), Connections_(connections), OnLastRelease_(std::move(onLastRelease)) {}

TComServer::~TComServer() {
    Stop();
    // Adapters that outlive their disconnection must not report to a server that is gone.
    for (TComRefCounted* object : Objects_) object->Orphan();
}

HRESULT TComServer::RegisterClassObject() {
    if (ClassObject_) return S_OK;
    ClassObject_ = new (std::nothrow) TComClassFactory(*this);
    if (!ClassObject_) return E_OUTOFMEMORY;
    ClassObject_->AddRef();
    const dravon::TGuid& c = dravon::CLSID_DravonDA2;
    const CLSID clsid{
        c.Data1,
        c.Data2,
        c.Data3,
        {c.Data4[0], c.Data4[1], c.Data4[2], c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]}};
    HRESULT hr =
        CoRegisterClassObject(clsid, ClassObject_, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &Cookie_);
    if (FAILED(hr)) {
        ClassObject_->Release();
        ClassObject_ = nullptr;
        Cookie_ = 0;
    }
    return hr;
}

void TComServer::Stop() {
    if (Cookie_) CoRevokeClassObject(Cookie_);
    Cookie_ = 0;
    if (ClassObject_) ClassObject_->Release();
    ClassObject_ = nullptr;
    // Clients lose their objects now, so no adapter outlives the stand-ins' connection list.
    // CoDisconnectObject releases the stubs' references, which can free adapters: work on
    // a copy and hold each object while it is disconnected.
    std::vector<IUnknown*> objects;
    for (TComRefCounted* object : Objects_) objects.push_back(object->Identity());
    for (IUnknown* object : objects) object->AddRef();
    for (IUnknown* object : objects) {
        CoDisconnectObject(object, 0);
        object->Release();
    }
}

HRESULT TComServer::GroupInterface(dravon::TOPCGroup& group, REFIID riid, void** object) {
    *object = nullptr;
    auto it = Groups_.find(&group);
    TComGroup* adapter = it != Groups_.end() ? it->second : nullptr;
    if (!adapter) {
        try {
            adapter = new TComGroup(*this, dravon::TComPtr<dravon::TOPCGroup>(&group));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        Groups_[&group] = adapter;
    }
    static_cast<IOPCGroupStateMgt*>(adapter)->AddRef();
    HRESULT hr = adapter->QueryInterface(riid, object);
    static_cast<IOPCGroupStateMgt*>(adapter)->Release();
    return hr;
}

dravon::TOPCGroup* TComServer::GroupOf(const dravon::TComPtr<dravon::IUnknown>& unknown) {
    dravon::TComPtr<dravon::IOPCGroupStateMgt> state = unknown.As<dravon::IOPCGroupStateMgt>();
    // Every group of the core is a TOPCGroup.
    return state ? static_cast<dravon::TOPCGroup*>(state.Get()) : nullptr;
}

void TComServer::ObjectCreated(TComRefCounted& object) { Objects_.insert(&object); }

void TComServer::ObjectReleased(TComRefCounted& object) {
    Objects_.erase(&object);
    CheckIdle();
}

void TComServer::Lock(bool lock) {
    if (lock) {
        ++Locks_;
        return;
    }
    if (Locks_ > 0) --Locks_;
    CheckIdle();
}

void TComServer::CheckIdle() {
    if (Objects_.empty() && Locks_ == 0 && OnLastRelease_) OnLastRelease_();
}

void TComServer::GroupGone(TComGroup& group) {
    auto it = Groups_.find(&group.StandIn());
    if (it != Groups_.end() && it->second == &group) Groups_.erase(it);
}

} // namespace dravon::com
