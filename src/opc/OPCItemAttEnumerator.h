// IEnumOPCItemAttributes over a group's current items (IOPCItemMgt::CreateEnumerator).
#pragma once

#include "opc/ComObject.h"
#include "opc/OPCInterfaces.h"

#include <vector>

namespace dravon {

class TOPCGroup;

class TOPCItemAttEnumerator : public TComObject, public IEnumOPCItemAttributes {
public:
    // Holds a counted reference on the group, so the items it reads stay reachable.
    explicit TOPCItemAttEnumerator(TOPCGroup& group);

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    // count 0: 1781 and no records. Otherwise the records from the position onwards; S_OK
    // when count were filled, else 1781 with the records that were available.
    HRESULT Next(std::uint32_t count, std::vector<TOPCItemAttributes>& items,
                 std::uint32_t& fetched) override;
    HRESULT Skip(std::uint32_t count) override;
    HRESULT Reset() override;
    HRESULT Clone(TComPtr<IEnumOPCItemAttributes>& copy) override;

private:
    TComPtr<TOPCGroup> Group_;
    std::size_t Position_ = 0;
};

} // namespace dravon
