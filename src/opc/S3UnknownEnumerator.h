// IEnumUnknown over a list of counted interface references (the groups of a server object).
#pragma once

#include "opc/ComInterfaces.h"
#include "opc/ComObject.h"

#include <vector>

namespace dravon {

class TS3UnknownEnumerator : public TComObject, public IEnumUnknown {
public:
    explicit TS3UnknownEnumerator(std::vector<TComPtr<IUnknown>> elements);

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    HRESULT Next(std::uint32_t count, std::vector<TComPtr<IUnknown>>& elements,
                 std::uint32_t* fetched) override;
    HRESULT Skip(std::uint32_t count) override;
    HRESULT Reset() override;
    HRESULT Clone(TComPtr<IEnumUnknown>& copy) override;

private:
    std::vector<TComPtr<IUnknown>> Elements_;
    std::size_t Position_ = 0;
};

} // namespace dravon
