#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"

#include "app/Settings.h"

namespace dravon {

namespace {
std::uint32_t WithHigh(std::uint32_t value, std::uint32_t high) {
    return (value & 0xFFFFu) | ((high & 0xFFFFu) << 16);
}
std::uint32_t WithLow(std::uint32_t value, std::uint32_t low) {
    return (value & 0xFFFF0000u) | (low & 0xFFFFu);
}
} // namespace

THitachiLocation::~THitachiLocation() {
    if (IsDoubleWord) {
        if (HighLink) {
            if (HighLink->HighLink == this) HighLink->HighLink = nullptr;
            HighLink->Release();
        }
        if (LowLink) {
            if (LowLink->LowLink == this) LowLink->LowLink = nullptr;
            LowLink->Release();
        }
    } else {
        if (HighLink && HighLink->HighLink == this) HighLink->HighLink = nullptr;
        if (LowLink && LowLink->LowLink == this) LowLink->LowLink = nullptr;
    }
}

std::string THitachiLocation::LocationName() const {
    if (!Name.empty()) return Name;
    return FormatAddress(RowOfCode(Code, IsDoubleWord), Address);
}

std::uint32_t THitachiLocation::GetValue() const {
    if (HasBothHalves()) return (HighLink->Value << 16) + LowLink->Value;
    return Value;
}

void THitachiLocation::StoreReadValue(std::uint32_t value, TDateTime now) {
    HasValue = true;
    if (!WritePending) {
        if (!SkipNextRead) {
            Value = value;
            if (!IsDoubleWord) {
                if (HighLink) HighLink->StoreReadValue(WithHigh(HighLink->GetValue(), value), now);
                if (LowLink) LowLink->StoreReadValue(WithLow(LowLink->GetValue(), value), now);
            }
        }
        SkipNextRead = false;
    }
    ValueTime = now;
}

void THitachiLocation::StoreText(const std::string& text, TDateTime now) {
    StringValue = text;
    StoreReadValue(0, now);
}

void THitachiLocation::MarkRead(TDateTime now) {
    HasValue = true;
    SkipNextRead = false;
    ValueTime = now;
    if (!IsDoubleWord) {
        if (HighLink) HighLink->MarkRead(now);
        if (LowLink) LowLink->MarkRead(now);
    }
}

void THitachiLocation::StoreWrittenValue(std::uint32_t value) {
    // A bit is 0 or 1 on the wire; a client's TRUE arrives as -1 (all bits set).
    if (VarType == VarTypeBool) value = value != 0 ? 1 : 0;
    if (VarType == VarTypeUI2) {
        std::int32_t v = static_cast<std::int32_t>(value);
        if (v < -32768) v = -32768;
        if (v < 0) v += 65536;
        value = static_cast<std::uint32_t>(v);
    }
    WriteRequested = true;
    WritePending = true;
    ++WriteSerial;
    if (PLC) PLC->WritesMayBePending = true;
    Value = value;
    SetOwnerHalves(value, 0, false);
}

void THitachiLocation::StoreForcedValue(std::uint32_t value, TDateTime now) {
    if (VarType == VarTypeBool) value = value != 0 ? 1 : 0;
    HasValue = true;
    Value = value;
    WriteRequested = true;
    WritePending = true;
    ++WriteSerial;
    if (PLC) PLC->WritesMayBePending = true;
    ValueTime = now;
    SkipNextRead = true;
    SetOwnerHalves(value, now, true);
}

void THitachiLocation::SetOwnerHalves(std::uint32_t v, TDateTime now, bool forced) {
    auto touch = [&](THitachiLocation& other, bool requestWrite) {
        other.WritePending = true;
        ++other.WriteSerial;
        if (other.PLC) other.PLC->WritesMayBePending = true;
        if (requestWrite) other.WriteRequested = true;
        if (forced) {
            other.HasValue = true;
            other.ValueTime = now;
            other.SkipNextRead = true;
        }
    };
    if (IsDoubleWord) {
        // The driver writes the two words, so both are requested.
        if (HighLink) {
            HighLink->Value = v >> 16;
            touch(*HighLink, true);
        }
        if (LowLink) {
            LowLink->Value = v & 0xFFFFu;
            touch(*LowLink, true);
        }
    } else {
        if (HighLink) {
            HighLink->Value = WithHigh(HighLink->GetValue(), v);
            touch(*HighLink, false);
        }
        if (LowLink) {
            LowLink->Value = WithLow(LowLink->GetValue(), v);
            touch(*LowLink, false);
        }
    }
}

std::uint16_t THitachiLocation::Quality(bool enableUncertain, bool enableBad) const {
    if (SkipNextRead) return QualityLocalOverride;
    if (!HasValue) {
        if (enableBad) return QualityBad;
        return enableUncertain ? QualityUncertain : QualityGood;
    }
    bool uncertain, bad, addressError;
    if (IsDoubleWord) {
        if (!HasBothHalves()) return QualityBad;
        const THitachiLocation& h = *HighLink;
        const THitachiLocation& l = *LowLink;
        uncertain = h.ErrorCount >= UncertainErrorCount || h.TimedOut ||
                    l.ErrorCount >= UncertainErrorCount || l.TimedOut;
        bad = h.ErrorCount >= BadErrorCount || l.ErrorCount >= BadErrorCount;
        addressError = h.AddressError || l.AddressError;
    } else {
        uncertain = ErrorCount >= UncertainErrorCount || TimedOut;
        bad = ErrorCount >= BadErrorCount;
        addressError = AddressError;
    }
    std::uint16_t q = QualityGood;
    if (uncertain && enableUncertain) q = QualityLastUsable;
    if (bad && enableBad) q = QualityCommFailure;
    if (addressError) q = QualityConfigError;
    return q;
}

std::uint16_t THitachiLocation::Quality(const TSettings& settings) const {
    return Quality(settings.EnableUncertain, settings.EnableBAD);
}

bool THitachiLocation::IsFaulty() const {
    if (!IsDoubleWord) return ErrorCount >= 2 || TimedOut;
    if (!HasBothHalves()) return TimedOut;
    return HighLink->ErrorCount >= 2 || HighLink->TimedOut || LowLink->ErrorCount >= 2 || LowLink->TimedOut;
}

bool THitachiLocation::HasChangedForDisplay(const TSettings& settings) {
    const std::uint16_t q = Quality(settings);
    const std::uint32_t value = GetValue();
    if (value == ReportedValue && ReportedTime == ValueTime && q == ReportedQuality && !Changed &&
        !RefreshCaption)
        return false;
    ReportedValue = value;
    ReportedTime = ValueTime;
    ReportedQuality = q;
    Changed = false;
    return true;
}

std::uint16_t THitachiLocation::VarTypeOf(bool isSigned) const {
    if (isSigned) {
        if (VarType == VarTypeUI2) return VarTypeI2;
        if (VarType == VarTypeUI4) return VarTypeI4;
    }
    return VarType;
}

} // namespace dravon
