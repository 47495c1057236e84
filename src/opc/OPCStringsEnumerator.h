// IEnumString over its own copy of a list of texts (group names, browse names).
#pragma once

#include "opc/ComInterfaces.h"
#include "opc/ComObject.h"

#include <string>
#include <vector>

namespace dravon {

class TOPCStringsEnumerator : public TComObject, public IEnumString {
public:
    explicit TOPCStringsEnumerator(std::vector<std::string> texts);

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    // count < 1: 1781; no fetched: E_INVALIDARG; S_OK when count were copied, else 1781.
    HRESULT Next(std::uint32_t count, std::vector<std::string>& elements, std::uint32_t* fetched) override;
    HRESULT Skip(std::uint32_t count) override;
    HRESULT Reset() override;
    HRESULT Clone(TComPtr<IEnumString>& copy) override;

private:
    std::vector<std::string> Texts_;
    std::size_t Position_ = 0;
};

} // namespace dravon
