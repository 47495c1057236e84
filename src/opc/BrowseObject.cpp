#include "opc/BrowseObject.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "opc/DA2.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCLog.h"
#include "opc/OPCStringsEnumerator.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "plc/Variables.h"

#include <algorithm>
#include <new>

namespace dravon {

namespace {

constexpr const char* RangeSeparator = " .. ";

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char DigitChar(int digit) { return "0123456789ABCDEF"[digit & 15]; }

std::uint64_t Power(std::uint64_t base, int n) {
    std::uint64_t r = 1;
    for (int i = 0; i < n; ++i) r *= base;
    return r;
}

// Whether some address of the memory type starts with the given digits.
bool PrefixReachable(const MemoryTypeInfo& info, const std::vector<int>& digits) {
    const int total = TBrowseObject::TotalDigits(info);
    const int sub = std::min(info.SubDigits, total);
    const int hexCount = total - sub;
    const int k = static_cast<int>(digits.size());
    if (k > total) return false;
    const std::uint64_t max = info.MaxAddress;
    const std::uint64_t subScale = Power(16, sub);
    const std::uint64_t subMax = sub > 0 ? max % subScale : 0;
    // Smallest completion: remaining digits zero.
    std::uint64_t high = 0;
    for (int i = 0; i < hexCount; ++i) {
        const int d = i < k ? digits[static_cast<std::size_t>(i)] : 0;
        if (d < 0 || d > 15) return false;
        high = high * 16 + static_cast<std::uint64_t>(d);
    }
    std::uint64_t low = 0;
    for (int i = hexCount; i < total; ++i) {
        const int d = i < k ? digits[static_cast<std::size_t>(i)] : 0;
        if (d < 0 || d > 9) return false;
        low = low * 10 + static_cast<std::uint64_t>(d);
    }
    const std::uint64_t packed = high * subScale + low;
    return low <= subMax && packed >= info.MinAddress && packed <= max;
}

} // namespace

TBrowseObject::TBrowseObject(TDA2& server) : Server_(server) {}

int TBrowseObject::TotalDigits(const MemoryTypeInfo& info) {
    int n = 1;
    for (std::uint32_t v = info.MaxAddress / 16; v != 0; v /= 16) ++n;
    return n;
}

std::vector<int> TBrowseObject::NextDigits(const MemoryTypeInfo& info, const std::vector<int>& chosen) {
    std::vector<int> result;
    const int total = TotalDigits(info);
    const int depth = static_cast<int>(chosen.size());
    if (depth >= total) return result;
    const bool decimal = depth >= total - std::min(info.SubDigits, total);
    std::vector<int> probe = chosen;
    probe.push_back(0);
    for (int d = 0; d < (decimal ? 10 : 16); ++d) {
        probe.back() = d;
        if (PrefixReachable(info, probe)) result.push_back(d);
    }
    return result;
}

bool TBrowseObject::MemoryBrowsingOpen() const {
    const TSettings& settings = Server_.Context().Settings;
    const TOPCDAConnectionCollection* connections = Server_.Connections();
    const bool detected = connections && connections->IntensiveBrowsingDetected;
    return settings.AllowBrowsing && !(detected && settings.DetectIntensiveBrowsing);
}

THitachiPLC* TBrowseObject::CurrentPLC() const {
    TPLCCollection* plcs = Server_.Context().PLCs;
    if (PLCName_.empty() || !plcs) return nullptr;
    return plcs->FindPLC(PLCName_);
}

const MemoryTypeInfo* TBrowseObject::CurrentMemoryType() const {
    THitachiPLC* plc = CurrentPLC();
    if (!plc || MemoryRow_ < 0 || MemoryRow_ >= MemoryTypeCount) return nullptr;
    return &plc->MemoryTypes[static_cast<std::size_t>(MemoryRow_)];
}

TBrowseObject::TKind TBrowseObject::Kind() {
    if ((Kind_ == bkPLC || Kind_ == bkStatusVars || Kind_ == bkMemoryType) && !CurrentPLC()) GoToRoot();
    return Kind_;
}

void TBrowseObject::GoToRoot() {
    Kind_ = bkRoot;
    PLCName_.clear();
    MemoryRow_ = -1;
    Digits_.clear();
}

HRESULT TBrowseObject::QueryOrganization(std::uint32_t& nameSpaceType) {
    nameSpaceType = OPC_NS_HIERARCHIAL;
    LogCall(Server_.Context().Debug, "IOPCBrowseServerAddressSpace::QueryOrganization", S_OK);
    return S_OK;
}

bool TBrowseObject::MoveUp() {
    switch (Kind()) {
    case bkPLC:
    case bkServerVars: GoToRoot(); return true;
    case bkMemoryType:
        if (!Digits_.empty()) {
            Digits_.pop_back();
        } else {
            Kind_ = bkPLC;
            MemoryRow_ = -1;
        }
        return true;
    case bkStatusVars: Kind_ = bkPLC; return true;
    case bkRoot: break;
    }
    return false;
}

bool TBrowseObject::MoveDown(const std::string& name) {
    TPLCCollection* plcs = Server_.Context().PLCs;
    switch (Kind()) {
    case bkRoot:
        if (SameTextIgnoringCase(name, "sys")) {
            Kind_ = bkServerVars;
            return true;
        }
        if (THitachiPLC* plc = plcs ? plcs->FindPLC(name) : nullptr) {
            PLCName_ = plc->Name;
            Kind_ = bkPLC;
            return true;
        }
        return false;
    case bkPLC: {
        if (SameTextIgnoringCase(name, "sys")) {
            Kind_ = bkStatusVars;
            return true;
        }
        if (!MemoryBrowsingOpen()) return false;
        THitachiPLC* plc = CurrentPLC();
        for (int row = 0; row < MemoryTypeCount; ++row) {
            if (SameTextIgnoringCase(name, plc->MemoryTypes[static_cast<std::size_t>(row)].Name)) {
                Kind_ = bkMemoryType;
                MemoryRow_ = row;
                Digits_.clear(); // a fresh memory type starts at its first digit
                return true;
            }
        }
        return false;
    }
    case bkMemoryType: {
        // Memory browsing may have been closed by the guard while the client sat here.
        if (!MemoryBrowsingOpen()) return false;
        const MemoryTypeInfo* info = CurrentMemoryType();
        const int total = TotalDigits(*info);
        // The last digit level holds leaves, not branches.
        if (Depth() >= total - 1) return false;
        const std::size_t at = std::string_view(info->Name).size() + Digits_.size();
        if (at >= name.size()) return false;
        const int digit = HexValue(name[at]);
        if (digit < 0) return false;
        // Only digits listed as branches lead somewhere valid.
        const std::vector<int> allowed = NextDigits(*info, Digits_);
        if (std::find(allowed.begin(), allowed.end(), digit) == allowed.end()) return false;
        Digits_.push_back(digit);
        return true;
    }
    case bkServerVars:
    case bkStatusVars: break;
    }
    return false;
}

HRESULT TBrowseObject::ChangeBrowsePosition(std::uint32_t direction, const std::string& name) {
    TServerContext& ctx = Server_.Context();
    static constexpr const char* Text = "IOPCBrowseServerAddressSpace::ChangeBrowsePosition";
    if (ctx.Debug) ctx.Debug->WriteLine(lkCall, std::string(Text) + " " + name, true);
    ++Server_.BrowseCallCounter;
    if (Kind() == bkPLC && Server_.BrowseCallCounter >= IntensiveCallCount && Server_.Connections())
        Server_.Connections()->IntensiveBrowsingDetected = true;
    bool moved = false;
    if (direction == OPC_BROWSE_UP)
        moved = MoveUp();
    else if (direction == OPC_BROWSE_DOWN)
        moved = MoveDown(name);
    const HRESULT hr = moved ? S_OK : E_FAIL;
    LogCall(ctx.Debug, Text, hr);
    return hr;
}

std::vector<std::string> TBrowseObject::Names(std::uint32_t browseType) {
    std::vector<std::string> names;
    if (browseType != OPC_BRANCH && browseType != OPC_LEAF) return names; // flat: nothing
    const bool branches = browseType == OPC_BRANCH;
    TPLCCollection* plcs = Server_.Context().PLCs;
    switch (Kind()) {
    case bkRoot:
        if (branches) {
            names.emplace_back("Sys");
            for (int i = 0; plcs && i < plcs->Count(); ++i) names.push_back(plcs->PLCByIndex(i).Name);
        }
        break;
    case bkServerVars:
        if (!branches)
            for (const TVariableDef& def : ServerVariableDefs) names.emplace_back(def.Name);
        break;
    case bkStatusVars:
        if (!branches)
            for (const TVariableDef& def : StatusVariableDefs) names.emplace_back(def.Name);
        break;
    case bkPLC: {
        THitachiPLC* plc = CurrentPLC();
        const bool open = MemoryBrowsingOpen();
        if (branches) {
            names.emplace_back("Sys");
            if (open)
                for (const MemoryTypeInfo& info : plc->MemoryTypes) names.emplace_back(info.Name);
        } else if (!open) {
            for (int row = 0; row < MemoryTypeCount; ++row) {
                const MemoryTypeInfo& info = plc->MemoryTypes[static_cast<std::size_t>(row)];
                names.push_back(std::string(info.Name) + std::to_string(info.MinAddress) + RangeSeparator +
                                FormatAddress(row, info.MaxAddress));
            }
        }
        break;
    }
    case bkMemoryType: {
        if (!MemoryBrowsingOpen()) break;
        const MemoryTypeInfo* info = CurrentMemoryType();
        const int total = TotalDigits(*info);
        const bool lastLevel = Depth() == total - 1;
        if (branches == lastLevel) break;
        std::string chosen = info->Name;
        for (int d : Digits_) chosen += DigitChar(d);
        const std::string rest(static_cast<std::size_t>(std::max(total - Depth() - 1, 0)), 'x');
        for (int d : NextDigits(*info, Digits_)) names.push_back(chosen + DigitChar(d) + rest);
        break;
    }
    }
    return names;
}

HRESULT TBrowseObject::BrowseOPCItemIDs(std::uint32_t browseType, const std::string&, VARTYPE, std::uint32_t,
                                        TComPtr<IEnumString>& names) {
    TServerContext& ctx = Server_.Context();
    // The misspelling is the established log text that log readers search for.
    static constexpr const char* Text = "IOPCBrowseServerAddreddSpace::BrowseOPCItemIDs";
    LogCallStart(ctx.Debug, Text);
    names.Reset();
    HRESULT hr = S_OK;
    try {
        names = MakeCom<TOPCStringsEnumerator>(Names(browseType));
    } catch (const std::bad_alloc&) {
        names.Reset();
        hr = E_OUTOFMEMORY;
    }
    LogCallEnd(ctx.Debug, Text, hr);
    return hr;
}

HRESULT TBrowseObject::GetItemID(const std::string& itemDataID, std::string& itemID) {
    ++Server_.BrowseCallCounter;
    itemID.clear();
    switch (Kind()) {
    case bkPLC: {
        std::string leaf = itemDataID;
        if (!MemoryBrowsingOpen()) {
            // A range leaf stands for its memory type: its first address is the item.
            const std::size_t cut = leaf.find(RangeSeparator);
            if (cut != std::string::npos) leaf.erase(cut);
        }
        itemID = PLCName_ + "." + leaf;
        break;
    }
    case bkMemoryType:
    case bkStatusVars: itemID = PLCName_ + "." + itemDataID; break;
    case bkServerVars: itemID = "Sys." + itemDataID; break;
    case bkRoot: break;
    }
    LogCall(Server_.Context().Debug, "IOPCBrowseServerAddressSpace::GetItemID", S_OK);
    return S_OK;
}

HRESULT TBrowseObject::BrowseAccessPaths(const std::string&, TComPtr<IEnumString>& paths) {
    paths.Reset();
    LogCall(Server_.Context().Debug, "IOPCBrowseServerAddressSpace::BrowseAccessPaths", E_NOTIMPL);
    return E_NOTIMPL;
}

} // namespace dravon
