// IUnknown: the reference counting and interface discovery every OPC object offers.
// Interfaces derive from it singly; an object that implements several interfaces
// overrides the three methods once for all of them, and answers QueryInterface with the
// IUnknown sub-object of the interface asked for, so a returned pointer can be cast to that
// interface with static_cast (TComPtr::As does it safely).
#pragma once

#include "opc/Guid.h"
#include "opc/HResult.h"

#include <cstdint>

namespace dravon {

class IUnknown {
public:
    static constexpr TGuid Iid{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

    // On success *object holds a counted reference to the interface iid; on failure null.
    virtual HRESULT QueryInterface(const TGuid& iid, IUnknown** object) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

protected:
    // Objects die through Release only.
    ~IUnknown() = default;
};

} // namespace dravon
