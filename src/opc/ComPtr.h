// Counted interface reference: AddRef on copy, Release on reset and destruction.
#pragma once

#include "opc/Unknown.h"

#include <type_traits>
#include <utility>

namespace dravon {

template <class T> class TComPtr {
public:
    TComPtr() = default;
    TComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit TComPtr(T* p) : P_(p) {
        if (P_) P_->AddRef();
    }
    TComPtr(const TComPtr& other) : TComPtr(other.P_) {}
    TComPtr(TComPtr&& other) noexcept : P_(std::exchange(other.P_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    TComPtr(const TComPtr<U>& other) : TComPtr(static_cast<T*>(other.Get())) {}
    ~TComPtr() { Reset(); }

    TComPtr& operator=(const TComPtr& other) {
        TComPtr(other).Swap(*this);
        return *this;
    }
    TComPtr& operator=(TComPtr&& other) noexcept {
        TComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    TComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns (no AddRef).
    static TComPtr Attach(T* p) {
        TComPtr result;
        result.P_ = p;
        return result;
    }
    // Gives up the reference without releasing it.
    T* Detach() { return std::exchange(P_, nullptr); }

    void Reset() {
        // Cleared before Release: a destructor that reaches back here sees null.
        if (T* p = std::exchange(P_, nullptr)) p->Release();
    }
    void Swap(TComPtr& other) noexcept { std::swap(P_, other.P_); }

    T* Get() const { return P_; }
    T* operator->() const { return P_; }
    T& operator*() const { return *P_; }
    explicit operator bool() const { return P_ != nullptr; }

    // For an out-parameter of type T**: releases what is held first.
    T** Put() {
        Reset();
        return &P_;
    }

    // Asks the object for interface U; null when it does not give it.
    template <class U> TComPtr<U> As() const {
        TComPtr<U> result;
        if (P_) QueryInterfaceOf(P_, result);
        return result;
    }

    template <class U> static HRESULT QueryInterfaceOf(T* p, TComPtr<U>& out) {
        IUnknown* raw = nullptr;
        HRESULT hr = p->QueryInterface(U::Iid, &raw);
        if (Failed(hr) || !raw) {
            out.Reset();
            return Failed(hr) ? hr : E_NOINTERFACE;
        }
        out = TComPtr<U>::Attach(static_cast<U*>(raw));
        return hr;
    }

    friend bool operator==(const TComPtr& a, const TComPtr& b) { return a.P_ == b.P_; }
    friend bool operator==(const TComPtr& a, std::nullptr_t) { return a.P_ == nullptr; }

private:
    T* P_ = nullptr;
};

// QueryInterface into a typed holder.
template <class U, class T> HRESULT QueryInterface(T* object, TComPtr<U>& out) {
    if (!object) {
        out.Reset();
        return E_POINTER;
    }
    return TComPtr<T>::QueryInterfaceOf(object, out);
}

// Returns interface U of an object whose IUnknown sub-object for U is given (as an
// out-interface of AddGroup, GetGroupByName, CloneGroup or QueryInterface delivers it),
// by asking the object again; null when it does not give U.
template <class U> TComPtr<U> InterfaceOf(const TComPtr<IUnknown>& unknown) {
    return unknown.template As<U>();
}

} // namespace dravon
