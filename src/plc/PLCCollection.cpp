#include "plc/PLCCollection.h"

#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "plc/DriverPool.h"
#include "plc/InvalidPointer.h"
#include "plc/ItemId.h"

#include <algorithm>
#include <optional>
#include <set>

namespace dravon {

TPLCCollection::TPLCCollection(TServerContext& context) : Context_(context) {
    for (const TVariableDef& def : ServerVariableDefs) ServerVars.AddVariable(def.Name, nullptr, def.IsText);
    if (Context_.Clock) {
        ServerStartedAt = Context_.Clock->Now();
        LastRefreshTick_ = Context_.Clock->TickCount();
    }
}

TPLCCollection::~TPLCCollection() { Clear(); }

void TPLCCollection::SetDriverPool(IDriverPool* pool) {
    if (pool == Pool_) return;
    for (auto& plc : PLCs_) plc->DetachDriver();
    Pool_ = pool;
    if (!Pool_) return;
    for (auto& plc : PLCs_)
        if (plc->DrvType != DriverNone) plc->SetConnection(plc->DrvType, plc->ProtocolType);
}

THitachiPLC& TPLCCollection::AddPLC() {
    PLCs_.push_back(std::make_unique<THitachiPLC>(Context_, *this, "PLC" + std::to_string(PLCs_.size() + 1)));
    return *PLCs_.back();
}

void TPLCCollection::DeletePLC(int index) {
    PLCByIndex(index);
    PLCs_.erase(PLCs_.begin() + index);
}

THitachiPLC& TPLCCollection::PLCByIndex(int index) const {
    if (index < 0 || index >= Count() || !PLCs_[static_cast<std::size_t>(index)]) throw TInvalidPointer();
    return *PLCs_[static_cast<std::size_t>(index)];
}

THitachiPLC* TPLCCollection::FindPLC(std::string_view name) const {
    for (const auto& plc : PLCs_)
        if (SameTextIgnoringCase(plc->Name, name)) return plc.get();
    return nullptr;
}

int TPLCCollection::IndexOf(const THitachiPLC* plc) const {
    for (std::size_t i = 0; i < PLCs_.size(); ++i)
        if (PLCs_[i].get() == plc) return static_cast<int>(i);
    return -1;
}

void TPLCCollection::Clear() {
    while (!PLCs_.empty()) PLCs_.pop_back();
}

TResolveResult TPLCCollection::ResolveItemId(std::string_view itemId) {
    TResolveResult result;
    const TItemIdParts parts = ParseItemId(itemId);
    if (!parts.Valid) return result;

    // Variables are looked up by their full name: names such as ComStatus or
    // MonitoredLocations end in "s", which is not a sign suffix for them.
    auto variable = [&](const TAddressCollection& variables) {
        if (THitachiLocation* found = variables.FindByName(parts.RawAddress)) {
            found->ItemId = parts.Trimmed;
            result.Location = found;
            result.Count = 1;
        }
        return result;
    };

    THitachiPLC* plc = FindPLC(parts.PLCName);
    if (!plc) return parts.PLCName == "sys" ? variable(ServerVars) : result;
    const auto parsed = ParseAddress(parts.Address);
    if (!parsed) return variable(plc->StatusVars);

    const MemoryTypeInfo& type = MemoryTypes[static_cast<std::size_t>(parsed->Row)];
    const long long count = ElementCountFor(parts, type.IsDoubleWord);
    if (count > MaxElementCount) return result;
    result.Signed = parts.Signed;

    const int wordRow = WordRowOf(parsed->Row);
    auto findOrAddWord = [&](std::uint32_t address) -> THitachiLocation& {
        if (THitachiLocation* word = plc->FindLocation(parsed->Code, address, false)) return *word;
        return plc->Monitored.AddMemoryLocation(parsed->Code, address, plc, wordRow);
    };
    for (long long i = 0; i < count; ++i) {
        const std::uint64_t address = std::uint64_t{parsed->Address} + static_cast<std::uint64_t>(i);
        // Past the highest address a PLC answers reads with 0 and drops writes: such
        // elements are not served, so they count as missing.
        if (address > type.MaxAddress) break;
        const auto a = static_cast<std::uint32_t>(address);
        THitachiLocation* location = plc->FindLocation(parsed->Code, a, type.IsDoubleWord);
        if (!location) {
            location = &plc->Monitored.AddMemoryLocation(parsed->Code, a, plc, parsed->Row);
            location->ItemId = parts.Trimmed;
            if (type.IsDoubleWord) {
                location->IsDoubleWord = true;
                THitachiLocation& high = findOrAddWord(a + 1);
                THitachiLocation& low = findOrAddWord(a);
                location->HighLink = &high;
                location->LowLink = &low;
                high.HighLink = location;
                low.LowLink = location;
                high.AddRef();
                low.AddRef();
            }
        }
        if (i > 0)
            location->AddRef();
        else
            result.Location = location;
        ++result.Count;
    }
    return result;
}

namespace {

// What the configuration dialog accepts; a stored value outside it is replaced at load.
constexpr std::uint32_t MaxTcpPort = 65535;
constexpr std::uint32_t MaxTimeOut = 99999;
constexpr std::uint32_t MaxStationNo = 31;
constexpr std::size_t MaxHostLength = 253;

} // namespace

void TPLCCollection::LoadPLCList() {
    Clear();
    if (!Context_.Store) return;
    IKeyValueStore& store = *Context_.Store;
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
    if (!key) return;
    const auto storedCount = key->ReadDword("Count");
    if (!storedCount) return;
    // Every saved PLC writes its own values, so a count above the number of values is
    // corrupt; it must not make the server build millions of PLCs.
    const std::uint64_t count = std::min<std::uint64_t>(*storedCount, key->ValueNames().size());
    // A bad stored value is replaced as the dialog would refuse it, and the log says so.
    auto note = [this](THitachiPLC& plc, const std::string& text) {
        if (Context_.Log) Context_.Log->Add("PLC " + LogText(plc.Name) + ": " + text, false);
    };
    auto readNumber = [&](THitachiPLC& plc, const std::string& name, std::uint32_t low, std::uint32_t high,
                          std::uint32_t fallBack) -> std::optional<int> {
        auto v = key->ReadDword(name);
        if (!v) return std::nullopt;
        if (*v >= low && *v <= high) return static_cast<int>(*v);
        note(plc, FormatText("%s %s out of range %s-%s, %s used",
                             {name, std::to_string(*v), std::to_string(low), std::to_string(high),
                              std::to_string(fallBack)}));
        return static_cast<int>(fallBack);
    };
    std::set<std::string> names; // upper-cased: item IDs find PLCs ignoring case
    for (std::uint64_t i = 0; i < count; ++i) {
        if (i % 64 == 0 && Context_.StopRequested && Context_.StopRequested()) return;
        THitachiPLC& plc = AddPLC();
        const std::string n = std::to_string(i);
        if (auto v = key->ReadString("PLCName" + n)) {
            std::string name = *v;
            std::replace(name.begin(), name.end(), '/', '_');
            std::replace(name.begin(), name.end(), '.', '_');
            if (name.empty() || !IsPrintableUtf8(name) || TMemoryStore::Upper(name) == "SYS")
                note(plc, FormatText("name \"%s\" refused, %s used", {LogText(*v), plc.Name}));
            else if (name != *v)
                note(plc, FormatText("name \"%s\" holds \"/\" or \".\", %s used", {LogText(*v), name}));
            if (!name.empty() && IsPrintableUtf8(name) && TMemoryStore::Upper(name) != "SYS") plc.Name = name;
        }
        if (names.count(TMemoryStore::Upper(plc.Name))) {
            const std::string duplicate = plc.Name;
            for (std::uint64_t k = i + 1; names.count(TMemoryStore::Upper(plc.Name)); ++k)
                plc.Name = "PLC" + std::to_string(k);
            note(plc,
                 FormatText("name \"%s\" used by an earlier PLC, %s used", {LogText(duplicate), plc.Name}));
        }
        names.insert(TMemoryStore::Upper(plc.Name));
        if (auto v = key->ReadString("PLCIP" + n)) {
            if (IsPrintableUtf8(*v) && v->size() <= MaxHostLength) {
                plc.SetHost(*v);
            } else {
                // Such a name would reach the log, the lookup and the endpoint's texts raw.
                plc.SetHost(std::string());
                note(plc, FormatText("host name \"%s\" refused (control character, invalid UTF-8 or too "
                                     "long), no host used",
                                     {LogText(*v)}));
            }
        }
        if (auto v = readNumber(plc, "PLCTcpPort" + n, 0, MaxTcpPort, DefaultTcpPort)) plc.TcpPort = *v;
        if (auto v = key->ReadDword("Lump" + n)) plc.Lump = *v;
        if (auto v = readNumber(plc, "TimeOut" + n, 0, MaxTimeOut, MaxTimeOut)) plc.TimeOut = *v;
        if (auto v = readNumber(plc, "SerialCom" + n, 1, TSerialPortTable::PortCount, 1)) plc.SerialCom = *v;
        if (auto v = readNumber(plc, "SerialStatNo" + n, 0, MaxStationNo, 0)) plc.SerialStatNo = *v;
        int protocol = ProtocolUndefined;
        if (auto v = key->ReadDword("ProtocolType" + n); v && *v >= 1 && *v <= 3)
            protocol = static_cast<int>(*v);
        int drvType = DriverNone;
        if (auto v = key->ReadDword("DrvType" + n); v && *v >= 1 && *v <= 3) drvType = static_cast<int>(*v);
        plc.SetConnection(drvType, protocol);
    }
    if (store.KeyExists(TRootKey::LocalMachine, TSerialPortTable::KeyPath)) SerialPorts.Load(store);
}

bool TPLCCollection::SavePLCList(const std::function<void(const std::string&)>& showMessage) {
    bool ok = false;
    if (Context_.Store) {
        // The whole list reaches the file in one write.
        TStoreUpdate update(*Context_.Store);
        if (auto key = Context_.Store->OpenKey(TRootKey::LocalMachine, PLCListKeyPath)) {
            ok = key->WriteDword("Count", static_cast<std::uint32_t>(PLCs_.size()));
            for (std::size_t i = 0; i < PLCs_.size() && ok; ++i) {
                const THitachiPLC& plc = *PLCs_[i];
                const std::string n = std::to_string(i);
                ok = key->WriteString("PLCName" + n, plc.Name) && key->WriteString("PLCIP" + n, plc.Host) &&
                     key->WriteDword("PLCTcpPort" + n, static_cast<std::uint32_t>(plc.TcpPort)) &&
                     key->WriteDword("Lump" + n, plc.Lump) &&
                     key->WriteDword("TimeOut" + n, static_cast<std::uint32_t>(plc.TimeOut)) &&
                     key->WriteDword("DrvType" + n, plc.DrvType) &&
                     key->WriteDword("SerialCom" + n, static_cast<std::uint32_t>(plc.SerialCom)) &&
                     key->WriteDword("SerialStatNo" + n, static_cast<std::uint32_t>(plc.SerialStatNo)) &&
                     key->WriteDword("ProtocolType" + n, plc.ProtocolType);
            }
            ok = ok && SerialPorts.Save(*Context_.Store);
        }
        ok = update.Commit() && ok;
    }
    if (!ok && showMessage) showMessage(RegistryWriteFailedMessage);
    return ok;
}

void TPLCCollection::RefreshVariables(int clientsConnected) {
    if (!Context_.Clock) return;
    const std::uint32_t tick = Context_.Clock->TickCount();
    UpTimeMs += TickDiff(tick, LastRefreshTick_);
    LastRefreshTick_ = tick;
    const TDateTime now = Context_.Clock->Now();
    int total = 0;
    for (auto& plc : PLCs_) total += plc->RefreshVariables(now);
    ServerVar(svServerStartedAtDate).StoreText(DateText(ServerStartedAt), now);
    ServerVar(svServerStartedAtTime).StoreText(TimeText(ServerStartedAt), now);
    ServerVar(svServerUpTime).StoreText(UpTimeText(UpTimeMs), now);
    ServerVar(svMonitoredLocations).StoreReadValue(static_cast<std::uint32_t>(total), now);
    ServerVar(svClientsConnected).StoreReadValue(static_cast<std::uint32_t>(clientsConnected), now);
}

void TPLCCollection::RefreshStatusTimes() {
    if (!Context_.Clock) return;
    const TDateTime now = Context_.Clock->Now();
    for (int i = 0; i < ServerVars.Count(); ++i) {
        THitachiLocation& variable = ServerVars.Item(i);
        if (variable.HasValue) variable.StoreReadValue(variable.GetValue(), now);
    }
}

} // namespace dravon
