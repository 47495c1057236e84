#include "opc/OPCItem.h"

#include "app/Settings.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/MemoryTypes.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace dravon {

namespace {

bool IsReal(VARTYPE vt) { return vt == VT_R4 || vt == VT_R8; }

bool IsWordType(const THitachiLocation& l) { return !l.IsDoubleWord && l.VarType == VT_UI2; }

// The characters of one word, high byte first.
void AppendWordChars(std::string& text, std::uint32_t word) {
    text.push_back(static_cast<char>((word >> 8) & 0xFF));
    text.push_back(static_cast<char>(word & 0xFF));
}

} // namespace

TOPCItem::TOPCItem(TOPCGroup* group, THitachiLocation* location, int coveredCount, OPCHANDLE serverHandle)
    : Group_(group), Location_(location), ResolvedCount_(std::max(coveredCount, 1)),
      ServerHandle_(serverHandle) {
    if (Location_) Location_->AddRef();
}

TOPCItem::~TOPCItem() {
    if (!Location_) return;
    if (Location_->PLC && ResolvedCount_ > 1) {
        Location_->PLC->ReleaseElements(*Location_, ResolvedCount_);
    } else {
        Location_->Release();
    }
}

VARTYPE TOPCItem::CanonicalType() const {
    if (!Location_) return VT_I4;
    VARTYPE vt = Location_->VarTypeOf(Signed);
    if (IsArray()) vt |= VT_ARRAY;
    return vt;
}

VARTYPE TOPCItem::DeliveredType() const {
    return RequestedType != VT_EMPTY ? RequestedType : CanonicalType();
}

int TOPCItem::CoveredCount() const {
    if (!Location_) return 0;
    if (IsArray()) return ElementCount;
    if (IsString()) {
        const int perLocation = Location_->IsDoubleWord ? 4 : 2;
        return std::max(1, (StringLength + perLocation - 1) / perLocation);
    }
    return 1;
}

THitachiLocation* TOPCItem::Element(int i) const {
    if (!Location_) return nullptr;
    if (i == 0) return Location_;
    if (!Location_->PLC) return nullptr;
    return Location_->PLC->FindLocation(Location_->Code, Location_->Address + static_cast<std::uint32_t>(i),
                                        Location_->IsDoubleWord);
}

TVariant TOPCItem::RawToVariant(std::uint32_t raw, VARTYPE vt) {
    switch (vt) {
    case VT_I2: return TVariant::I2(static_cast<std::int16_t>(raw & 0xFFFF));
    case VT_BOOL: return TVariant::Bool(raw != 0);
    case VT_R4: return TVariant::R4(std::bit_cast<float>(raw));
    case VT_R8: return TVariant::R8(static_cast<double>(std::bit_cast<float>(raw)));
    case VT_I4:
        // A signed double word: the same 32 bits read as a signed number.
        return TVariant::I4(static_cast<std::int32_t>(raw));
    // The canonical types of words and double words, without the general conversion
    // (the same results: a word type takes only what fits).
    case VT_UI2: return raw <= 0xFFFF ? TVariant::UI2(static_cast<std::uint16_t>(raw)) : TVariant();
    case VT_UI4: return TVariant::UI4(raw);
    default: {
        TVariant out;
        if (Failed(VariantChangeType(out, TVariant::UI4(raw), 0, vt))) return TVariant();
        return out;
    }
    }
}

bool TOPCItem::VariantToRaw(const TVariant& value, std::uint32_t& raw) {
    const VARTYPE vt = value.Vt();
    if (vt == VT_R4 || vt == VT_R8) {
        raw = std::bit_cast<std::uint32_t>(static_cast<float>(value.RealValue()));
        return true;
    }
    TVariant asInt;
    if (Succeeded(VariantChangeType(asInt, value, 0, VT_I4))) {
        raw = static_cast<std::uint32_t>(static_cast<std::int32_t>(asInt.IntValue()));
        return true;
    }
    // Double words above 2^31 - 1.
    if (Succeeded(VariantChangeType(asInt, value, 0, VT_UI4))) {
        raw = static_cast<std::uint32_t>(asInt.UIntValue());
        return true;
    }
    return false;
}

TVariant TOPCItem::Value() const {
    if (!Location_) return TVariant::I4(0);
    if (IsString()) {
        std::string text;
        const int count = CoveredCount();
        for (int i = 0; i < count; ++i) {
            const THitachiLocation* l = Element(i);
            if (!l) {
                text.push_back('\0');
                continue;
            }
            if (l->IsDoubleWord) {
                // The word at the lower address first.
                AppendWordChars(text, l->GetValue() & 0xFFFF);
                AppendWordChars(text, l->GetValue() >> 16);
            } else if (IsWordType(*l)) {
                AppendWordChars(text, l->GetValue());
            }
        }
        return TVariant::Bstr(std::move(text));
    }
    const VARTYPE type = DeliveredType() & VT_TYPEMASK;
    if (IsArray()) {
        std::vector<TVariant> elements;
        elements.reserve(static_cast<std::size_t>(ElementCount));
        for (int i = 0; i < ElementCount; ++i) {
            const THitachiLocation* l = Element(i);
            elements.push_back(l ? LocationValue(*l, type) : RawToVariant(0, type));
        }
        return TVariant::Array(type, std::move(elements));
    }
    if (Location_->VarType == VT_BSTR) {
        TVariant out;
        if (Failed(VariantChangeType(out, TVariant::Bstr(Location_->StringValue), 0, type)))
            return TVariant();
        return out;
    }
    return LocationValue(*Location_, type);
}

TVariant TOPCItem::LocationValue(const THitachiLocation& location, VARTYPE vt) const {
    const std::uint32_t raw = location.GetValue();
    // A signed word keeps its sign in every integer type it is asked for (65535 is -1 as
    // VT_I4 too, not only as VT_I2); floats still come from the bit pattern.
    if (Signed && !location.IsDoubleWord && location.VarType == VT_UI2 && vt != VT_R4 && vt != VT_R8) {
        TVariant out;
        const TVariant word = TVariant::I4(static_cast<std::int16_t>(raw & 0xFFFF));
        if (Failed(VariantChangeType(out, word, 0, vt))) return TVariant();
        return out;
    }
    return RawToVariant(raw, vt);
}

std::uint16_t TOPCItem::Quality(const TSettings& settings) const {
    if (!Location_) return QualityBad;
    if (!IsArray() && StringLength < 2) return Location_->Quality(settings);
    std::uint16_t q = QualityGood;
    const int count = CoveredCount();
    for (int i = 0; i < count; ++i) {
        const THitachiLocation* l = Element(i);
        q = std::min<std::uint16_t>(q, l ? l->Quality(settings) : QualityBad);
    }
    return q;
}

std::uint32_t TOPCItem::AccessRights() const {
    return Location_ ? static_cast<std::uint32_t>(Location_->AccessRights) : OPC_READABLE;
}

bool TOPCItem::HasChanged(const TSettings& settings) {
    if (!Location_) return false;
    // A text of no characters (".asc.0") reads one word: it is compared as a scalar.
    const bool textual = StringLength > 0 || Location_->VarType == VT_BSTR;
    if (!IsArray() && !textual) {
        const std::uint32_t raw = Location_->GetValue();
        const std::uint16_t q = Quality(settings);
        if (HasLastSent && raw == LastSentRaw && q == LastSentQuality) return false;
        LastSentRaw = raw;
        LastSentQuality = q;
        HasLastSent = true;
        return true;
    }
    if (settings.OnChangeAlwaysTrueForStrings) return true;
    TVariant value = Value();
    const std::uint16_t q = Quality(settings);
    bool changed = true;
    if (HasLastSent && !LastSentValue.IsEmpty() && q == LastSentQuality) {
        if (!IsArray()) {
            changed = !(LastSentValue == value);
        } else if (!value.IsArray() || !LastSentValue.IsArray() ||
                   value.Elements().size() != LastSentValue.Elements().size()) {
            changed = false;
        } else {
            changed = false;
            const auto& now = value.Elements();
            const auto& was = LastSentValue.Elements();
            for (std::size_t i = 0; i < now.size() && !changed; ++i) {
                TVariant a;
                TVariant b;
                const bool okA = Succeeded(VariantChangeType(a, now[i], 0, VT_R8));
                const bool okB = Succeeded(VariantChangeType(b, was[i], 0, VT_R8));
                changed = okA != okB || (okA && a.RealValue() != b.RealValue());
            }
        }
    }
    if (changed) {
        LastSentValue = std::move(value);
        LastSentQuality = q;
        HasLastSent = true;
    }
    return changed;
}

void TOPCItem::MarkRequested() const {
    // Stored only when not yet set: most locations are still waiting for their poll when
    // the next period asks again, and a store would dirty their cache line for nothing.
    auto request = [](THitachiLocation* l) {
        if (l && !l->ReadRequested) l->ReadRequested = true;
    };
    const int count = CoveredCount();
    for (int i = 0; i < count; ++i) {
        THitachiLocation* l = Element(i);
        if (!l) continue;
        if (l->IsDoubleWord) {
            request(l->HighLink);
            request(l->LowLink);
        } else {
            request(l);
        }
    }
}

bool TOPCItem::ReadSince(TDateTime since) const {
    const int count = CoveredCount();
    for (int i = 0; i < count; ++i) {
        const THitachiLocation* l = Element(i);
        if (l && l->ValueTime <= since && !l->IsFaulty()) return false;
    }
    return true;
}

void TOPCItem::RequestIfNotReadSince(TDateTime since) const {
    if (!ReadSince(since)) MarkRequested();
}

bool TOPCItem::WrittenSince(TDateTime since) const {
    const int count = CoveredCount();
    for (int i = 0; i < count; ++i) {
        const THitachiLocation* l = Element(i);
        if (!l || l->IsFaulty()) continue;
        // A double word is written through its halves; its own pending flag is not the
        // driver's to clear.
        const bool pending =
            l->HasBothHalves() ? l->HighLink->WritePending || l->LowLink->WritePending : l->WritePending;
        if (pending || l->WriteDoneTime < since) return false;
    }
    return true;
}

bool TOPCItem::CheckValue(const TVariant& value) const {
    if (!Location_) return false;
    // A text item takes text: its words are filled character by character. A text of no
    // characters has nowhere to put them and takes a value as its word does.
    if (StringLength >= 1) {
        TVariant text;
        return Succeeded(VariantChangeType(text, value, 0, VT_BSTR));
    }
    if (value.IsArray()) {
        // An item writes only its own elements: no array into a single location, and
        // no more elements than the item covers.
        const auto& elements = value.Elements();
        if (!IsArray() || elements.size() > static_cast<std::size_t>(ElementCount)) return false;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const THitachiLocation* l = Element(static_cast<int>(i));
            if (!l) continue;
            if (!FitsLocation(elements[i], *l)) return false;
        }
        return true;
    }
    return FitsLocation(value, *Location_);
}

bool TOPCItem::FitsLocation(const TVariant& value, const THitachiLocation& location) const {
    // A double word takes a float as its single-precision bit pattern, so any finite
    // float fits, negative ones too (the unsigned range check would refuse -1.5).
    if (location.IsDoubleWord && IsReal(value.Vt()))
        return std::isfinite(static_cast<float>(value.RealValue()));
    TVariant out;
    return Succeeded(VariantChangeType(out, value, 0, location.VarTypeOf(Signed)));
}

bool TOPCItem::ToLocationRaw(const TVariant& value, const THitachiLocation& location, std::uint32_t& raw) {
    // A word cannot hold a float's bit pattern: it takes the number, rounded, as any other
    // integer (5.0 writes 5, not the low half of 0x40A00000).
    if (!location.IsDoubleWord && IsReal(value.Vt())) {
        TVariant asInt;
        if (Failed(VariantChangeType(asInt, value, 0, VT_I4))) return false;
        raw = static_cast<std::uint32_t>(static_cast<std::int32_t>(asInt.IntValue()));
        return true;
    }
    return VariantToRaw(value, raw);
}

void TOPCItem::WriteValue(const TVariant& value) {
    if (!Location_) return;
    if (value.Vt() == VT_BSTR && StringLength >= 1) {
        const std::string& text = value.Text();
        std::size_t at = 0;
        auto next = [&]() -> std::uint32_t {
            const std::uint32_t c = at < text.size() ? static_cast<std::uint8_t>(text[at]) : 0;
            ++at;
            return c;
        };
        const int count = CoveredCount();
        for (int i = 0; i < count && at < text.size(); ++i) {
            THitachiLocation* l = Element(i);
            if (!l) break;
            if (l->IsDoubleWord) {
                const std::uint32_t a = next();
                const std::uint32_t b = next();
                const std::uint32_t c = next();
                const std::uint32_t d = next();
                // The lower-address word (the low half) takes the first two characters.
                l->StoreWrittenValue(((c * 256 + d) << 16) | (a * 256 + b));
            } else if (IsWordType(*l)) {
                const std::uint32_t a = next();
                const std::uint32_t b = next();
                l->StoreWrittenValue(a * 256 + b);
            } else {
                break;
            }
        }
        return;
    }
    if (value.IsArray()) {
        if (!IsArray()) return;
        const auto& elements = value.Elements();
        const std::size_t count = std::min(elements.size(), static_cast<std::size_t>(ElementCount));
        for (std::size_t i = 0; i < count; ++i) {
            THitachiLocation* l = Element(static_cast<int>(i));
            std::uint32_t raw = 0;
            if (l && ToLocationRaw(elements[i], *l, raw)) l->StoreWrittenValue(raw);
        }
        return;
    }
    std::uint32_t raw = 0;
    if (ToLocationRaw(value, *Location_, raw)) Location_->StoreWrittenValue(raw);
}

} // namespace dravon
