// One item of a group: a client's view of a PLC location (or of several consecutive ones
// for array and text items), with the requested type, the change-detection state and the
// conversions between the location's raw value and OPC values.
#pragma once

#include "app/Platform.h"
#include "opc/OPCInterfaces.h"
#include "opc/Variant.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravon {

class THitachiLocation;
class TOPCGroup;
struct TSettings;

// Quality reported in a version-1 cache answer for an inactive group or item.
inline constexpr std::uint16_t QualityOutOfService = 28;

class TOPCItem {
public:
    // Takes the caller's reference on location (the first element); coveredCount is the
    // number of locations the resolver counted, whose references are given back on
    // destruction.
    TOPCItem(TOPCGroup* group, THitachiLocation* location, int coveredCount, OPCHANDLE serverHandle);
    ~TOPCItem();
    TOPCItem(const TOPCItem&) = delete;
    TOPCItem& operator=(const TOPCItem&) = delete;

    THitachiLocation* Location() const { return Location_; }
    TOPCGroup* Group() const { return Group_; }
    OPCHANDLE ServerHandle() const { return ServerHandle_; }

private:
    // What every update cycle reads comes first, in the object's first cache line: a
    // server tick walks every item of every group.
    TOPCGroup* Group_;
    THitachiLocation* Location_;
    int ResolvedCount_;
    OPCHANDLE ServerHandle_;

public:
    OPCHANDLE ClientHandle = 0;
    int ElementCount = 1;  // >= 2: an array over consecutive locations
    int StringLength = -1; // >= 0: a text of that many characters
    std::uint32_t EUType = 0;
    // Change-detection state: what was last sent to the client.
    std::uint32_t LastSentRaw = 0;
    std::uint16_t LastSentQuality = 0;
    VARTYPE RequestedType = VT_EMPTY; // 0 means the canonical type
    bool Active = false;
    bool Signed = false;
    bool HasLastSent = false;
    std::string ItemId;
    TVariant LastSentValue; // text and array items only

    bool IsArray() const { return ElementCount >= 2; }
    bool IsString() const { return StringLength >= 0; }
    // The location's type, signed-adjusted, with VT_ARRAY for an array item.
    VARTYPE CanonicalType() const;
    // The type values are delivered in: the requested type, or the canonical one.
    VARTYPE DeliveredType() const;

    // Element i (0 = the first) found by memory type and address; null when missing.
    THitachiLocation* Element(int i) const;
    // Number of consecutive locations the item reads.
    int CoveredCount() const;

    TVariant Value() const;
    std::uint16_t Quality(const TSettings& settings) const;
    std::uint32_t AccessRights() const;
    bool Readable() const { return (AccessRights() & OPC_READABLE) != 0; }
    bool Writeable() const { return (AccessRights() & OPC_WRITEABLE) != 0; }

    // Evaluates change detection and, on a change, records what is being sent.
    bool HasChanged(const TSettings& settings);
    // Asks the poller to read every covered location again.
    void MarkRequested() const;
    // Every covered location read (or faulty) after the given time. Strictly after: time
    // stamps have millisecond steps, and an answer stored in the same millisecond as the
    // request may have been stored just before it, carrying the older value.
    bool ReadSince(TDateTime since) const;
    // While a request waits: locations not read after its time are asked for again, so
    // that an answer that came in the request's own millisecond is followed by one more.
    void RequestIfNotReadSince(TDateTime since) const;
    // Every covered location's write confirmed by the PLC (or faulty) since the given time:
    // no write of it is pending any more. A confirmation of an earlier write in the same
    // millisecond as the request does not count (the value is still pending then).
    bool WrittenSince(TDateTime since) const;

    // True when every element of value converts to the location's type.
    bool CheckValue(const TVariant& value) const;
    // Stores value into the covered locations and marks them for writing.
    void WriteValue(const TVariant& value);

    // Conversion of a raw 32-bit location value to type vt (VT_R4/VT_R8 from the
    // single-precision bit pattern). Empty when the conversion fails.
    static TVariant RawToVariant(std::uint32_t raw, VARTYPE vt);
    // The integer a written value is stored as: floats become their single-precision bit
    // pattern, everything else its 32-bit integer value. False when it does not convert.
    static bool VariantToRaw(const TVariant& value, std::uint32_t& raw);

private:
    // Whether value can be stored into one location of the item (the write check).
    bool FitsLocation(const TVariant& value, const THitachiLocation& location) const;
    // The integer value is stored as in that location: floats as their bit pattern in a
    // double word, as their rounded number in a word.
    static bool ToLocationRaw(const TVariant& value, const THitachiLocation& location, std::uint32_t& raw);
    // One location's raw value in type vt, honouring the item's signed flag.
    TVariant LocationValue(const THitachiLocation& location, VARTYPE vt) const;
};

} // namespace dravon
