#include "opc/S3UnknownEnumerator.h"

namespace dravon {

TS3UnknownEnumerator::TS3UnknownEnumerator(std::vector<TComPtr<IUnknown>> elements)
    : Elements_(std::move(elements)) {}

HRESULT TS3UnknownEnumerator::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    if (iid == IUnknown::Iid || iid == IEnumUnknown::Iid) {
        *object = static_cast<IEnumUnknown*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT TS3UnknownEnumerator::Next(std::uint32_t count, std::vector<TComPtr<IUnknown>>& elements,
                                   std::uint32_t* fetched) {
    elements.clear();
    if (count < 1) return RPC_X_ENUM_VALUE_OUT_OF_RANGE;
    if (!fetched) return E_INVALIDARG;
    while (elements.size() < count && Position_ < Elements_.size())
        elements.push_back(Elements_[Position_++]);
    *fetched = static_cast<std::uint32_t>(elements.size());
    return elements.size() == count ? S_OK : RPC_X_ENUM_VALUE_OUT_OF_RANGE;
}

HRESULT TS3UnknownEnumerator::Skip(std::uint32_t count) {
    if (count > Elements_.size() - Position_) {
        Position_ = Elements_.size();
        return S_FALSE;
    }
    Position_ += count;
    return S_OK;
}

HRESULT TS3UnknownEnumerator::Reset() {
    Position_ = 0;
    return S_OK;
}

HRESULT TS3UnknownEnumerator::Clone(TComPtr<IEnumUnknown>& copy) {
    copy = MakeCom<TS3UnknownEnumerator>(Elements_);
    return S_OK;
}

} // namespace dravon
