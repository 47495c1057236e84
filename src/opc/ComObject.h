// The reference count of a COM-style object. An object derives from this and from its
// interfaces, forwards AddRef/Release here, and is created with MakeCom. It frees itself
// when the count returns to zero; this is the only place OPC objects are deleted.
#pragma once

#include "opc/ComPtr.h"

#include <cstdint>
#include <utility>

namespace dravon {

class TComObject {
public:
    TComObject(const TComObject&) = delete;
    TComObject& operator=(const TComObject&) = delete;

    std::uint32_t RefCount() const { return Refs_; }

protected:
    TComObject() = default;
    virtual ~TComObject() = default;

    std::uint32_t AddRefCount() { return ++Refs_; }
    std::uint32_t ReleaseCount() {
        if (Refs_ == 0) return 0; // an unbalanced Release must not free twice
        std::uint32_t left = --Refs_;
        if (left == 0) {
            // Kept above zero while the destructor runs, so that a reference taken and
            // dropped during destruction cannot free the object a second time.
            Refs_ = 1;
            delete this;
        }
        return left;
    }

private:
    std::uint32_t Refs_ = 0;
};

// Creates an object of class T (a TComObject) and returns the first reference to it.
template <class T, class... Args> TComPtr<T> MakeCom(Args&&... args) {
    return TComPtr<T>(new T(std::forward<Args>(args)...));
}

} // namespace dravon
