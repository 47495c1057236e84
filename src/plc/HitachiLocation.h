// One served value: a PLC bit, word or double word, or a server/status variable, with its
// value, quality inputs, poll flags, reference count and display data.
#pragma once

#include "app/Platform.h"
#include "plc/MemoryTypes.h"

#include <array>
#include <cstdint>
#include <string>

namespace dravon {

class THitachiPLC;
class TMonitorRow; // a row of a monitor list in the window; the window owns it
struct TSettings;

// OPC quality numbers.
inline constexpr std::uint16_t QualityGood = 0xC0;
inline constexpr std::uint16_t QualityLocalOverride = 0xD8;
inline constexpr std::uint16_t QualityUncertain = 0x40;
inline constexpr std::uint16_t QualityLastUsable = 0x44;
inline constexpr std::uint16_t QualityBad = 0x00;
inline constexpr std::uint16_t QualityConfigError = 0x04;
inline constexpr std::uint16_t QualityCommFailure = 0x18;

// Error-count thresholds for UNCERTAIN and BAD.
inline constexpr int UncertainErrorCount = 3;
inline constexpr int BadErrorCount = 5;

inline constexpr int AccessReadable = 1;
inline constexpr int AccessReadWrite = 3;

class THitachiLocation {
public:
    THitachiLocation() = default;
    // A double word gives back the references it holds on its halves and clears their back
    // links; a word clears the links of the double words it belongs to.
    ~THitachiLocation();
    THitachiLocation(const THitachiLocation&) = delete;
    THitachiLocation& operator=(const THitachiLocation&) = delete;

    // Widest members first: a PLC may hold tens of thousands of locations, and padding
    // between interleaved flags would cost a tenth of each one.
    TDateTime ReportedTime = 0;
    TDateTime ValueTime = 0;
    TDateTime WriteDoneTime = 0;
    THitachiPLC* PLC = nullptr;
    // Double word: its high half (word A+1). Word: the double word whose high half it is.
    THitachiLocation* HighLink = nullptr;
    // Double word: its low half (word A). Word: the double word whose low half it is.
    THitachiLocation* LowLink = nullptr;
    std::array<TMonitorRow*, 3> DisplayRows{};
    std::string Name; // variables only; memory locations use LocationName()
    std::string ItemId;
    std::string StringValue;
    std::uint32_t ReportedValue = 0;
    int ErrorCount = 0;
    int Code = 0;
    std::uint32_t Address = 0;
    int TypeRow = 0;
    int RefCount = 0;
    std::uint32_t Value = 0;
    // Counts the values stored for writing: a client's write that is given up withdraws
    // its value only while no newer one came after it.
    std::uint32_t WriteSerial = 0;
    int AccessRights = AccessReadWrite;
    std::uint16_t ReportedQuality = 0;
    std::uint16_t VarType = 0;
    bool ReadRequested = true;
    bool WritePending = false;
    bool WriteRequested = false;
    bool IsDoubleWord = false;
    bool Changed = true;
    bool HasValue = false;
    bool AddressError = false;
    // The PLC rejected the last write of this location (its address); cleared when a
    // write is confirmed. WriteDoneTime tells when either decision came.
    bool WriteRejected = false;
    bool SkipNextRead = false;
    bool TimedOut = false;
    std::uint8_t View = 0;
    bool RefreshCaption = false;

    // Name, or the canonical address text of the memory location.
    std::string LocationName() const;
    // Double word with both halves: high * 65536 + low; otherwise Value.
    std::uint32_t GetValue() const;
    bool HasBothHalves() const { return IsDoubleWord && HighLink && LowLink; }

    // A value read from the PLC or computed by the server. Not taken while a write is
    // pending or once after forcing; the time stamp is renewed in every case.
    void StoreReadValue(std::uint32_t value, TDateTime now);
    void StoreText(const std::string& text, TDateTime now);
    // A successful read that carries no new value.
    void MarkRead(TDateTime now);
    // A client write; negative word values become their 16-bit two's complement.
    void StoreWrittenValue(std::uint32_t value);
    // A value forced by the operator: quality 0xD8 until the next read has been skipped.
    void StoreForcedValue(std::uint32_t value, TDateTime now);

    std::uint16_t Quality(bool enableUncertain, bool enableBad) const;
    std::uint16_t Quality(const TSettings& settings) const;
    bool IsFaulty() const;
    // Compares with the last reported triple; on a change stores the new one and clears Changed.
    bool HasChangedForDisplay(const TSettings& settings);
    std::uint16_t VarTypeOf(bool isSigned) const;

    void AddRef() { ++RefCount; }
    void Release() {
        if (RefCount > 0) --RefCount;
    }

private:
    // Double word: its halves get v's 16-bit parts. Word: its owners get v as their
    // matching half. Forcing also stamps them and skips their next read.
    void SetOwnerHalves(std::uint32_t v, TDateTime now, bool forced);
};

} // namespace dravon
