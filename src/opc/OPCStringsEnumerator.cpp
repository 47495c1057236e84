#include "opc/OPCStringsEnumerator.h"

namespace dravon {

TOPCStringsEnumerator::TOPCStringsEnumerator(std::vector<std::string> texts) : Texts_(std::move(texts)) {}

HRESULT TOPCStringsEnumerator::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    if (iid == IUnknown::Iid || iid == IEnumString::Iid) {
        *object = static_cast<IEnumString*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT TOPCStringsEnumerator::Next(std::uint32_t count, std::vector<std::string>& elements,
                                    std::uint32_t* fetched) {
    elements.clear();
    if (count < 1) return RPC_X_ENUM_VALUE_OUT_OF_RANGE;
    if (!fetched) return E_INVALIDARG;
    while (elements.size() < count && Position_ < Texts_.size()) elements.push_back(Texts_[Position_++]);
    *fetched = static_cast<std::uint32_t>(elements.size());
    return elements.size() == count ? S_OK : RPC_X_ENUM_VALUE_OUT_OF_RANGE;
}

HRESULT TOPCStringsEnumerator::Skip(std::uint32_t count) {
    if (count > Texts_.size() - Position_) {
        Position_ = Texts_.size();
        return S_FALSE;
    }
    Position_ += count;
    return S_OK;
}

HRESULT TOPCStringsEnumerator::Reset() {
    Position_ = 0;
    return S_OK;
}

HRESULT TOPCStringsEnumerator::Clone(TComPtr<IEnumString>& copy) {
    copy = MakeCom<TOPCStringsEnumerator>(Texts_);
    return S_OK;
}

} // namespace dravon
