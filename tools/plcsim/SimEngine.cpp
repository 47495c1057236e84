#include "SimEngine.h"

#include "SimMemoryTypes.h"

namespace dravon {

namespace {

constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusRejected = 0x01;
constexpr std::uint8_t kRejectionCode = 0x07;
constexpr std::uint8_t kStatusBusy = 0x05;

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

} // namespace

std::uint16_t TSimEngine::Get(int station, std::uint8_t code, std::uint32_t address) const {
    auto it = Stations_.find(station);
    return it == Stations_.end() ? 0 : it->second.Get(code, address);
}

void TSimEngine::AddAnimation(const TSimAnimation& animation, std::uint64_t nowMs) {
    TRunning running{animation, nowMs + (animation.PeriodMs == 0 ? 1 : animation.PeriodMs)};
    if (running.Setup.PeriodMs == 0) running.Setup.PeriodMs = 1;
    Animations_.push_back(running);
}

std::uint64_t TSimEngine::Animate(std::uint64_t nowMs) {
    std::uint64_t next = 0;
    for (auto& a : Animations_) {
        if (nowMs >= a.Next) {
            TSimMemory& memory = Station(a.Setup.Station);
            std::uint16_t v = memory.Get(a.Setup.Code, a.Setup.Address);
            switch (a.Setup.Kind) {
            case TSimAnimationKind::Counter: v = static_cast<std::uint16_t>(v + 1); break;
            case TSimAnimationKind::Toggle: v = v ? 0 : 1; break;
            case TSimAnimationKind::Ramp: {
                std::uint32_t r = static_cast<std::uint32_t>(v) + a.Setup.Step;
                v = (r > a.Setup.Max || v < a.Setup.Min) ? a.Setup.Min : static_cast<std::uint16_t>(r);
                break;
            }
            }
            if (SimAddressValid(a.Setup.Code, a.Setup.Address)) memory.Set(a.Setup.Code, a.Setup.Address, v);
            // A loop that fell behind catches up once instead of replaying every missed period.
            a.Next =
                nowMs - a.Next >= a.Setup.PeriodMs ? nowMs + a.Setup.PeriodMs : a.Next + a.Setup.PeriodMs;
        }
        if (next == 0 || a.Next < next) next = a.Next;
    }
    return next;
}

bool TSimEngine::AllValid(const TSimRequest& request) const {
    switch (request.Command) {
    case kSimBlockRead: {
        if (request.Count == 0 || !SimAddressValid(request.First.Code, request.First.Address)) return false;
        TSimTypeLimits limits;
        SimTypeLimitsFor(request.First.Code, limits);
        return request.First.Address + request.Count - 1 <= limits.MaxAddress;
    }
    case kSimRandomRead:
        for (std::size_t i = 0; i < request.ItemCount; ++i) {
            if (!SimAddressValid(request.Items[i].Code, request.Items[i].Address)) return false;
        }
        return true;
    case kSimRandomWrite:
        for (std::size_t i = 0; i < request.ItemCount; ++i) {
            if (!SimAddressValid(request.Items[i].Code, request.Items[i].Address)) return false;
            // A bit's data is 00 00 or 00 01; anything else is not a bit value.
            if (SimIsBitCode(request.Items[i].Code) && request.Values[i] > 1) return false;
        }
        return true;
    default: return true;
    }
}

TSimDecision TSimEngine::Execute(const TSimRequest& request, int station, const TSimLinkConfig& link,
                                 std::vector<std::uint8_t>& answer) {
    TSimDecision decision;
    answer.clear();
    switch (request.Command) {
    case kSimBlockRead: ++Stats_.BlockReads; break;
    case kSimRandomRead: ++Stats_.RandomReads; break;
    case kSimRandomWrite: ++Stats_.RandomWrites; break;
    default: ++Stats_.BinarySwitches; break;
    }
    std::uint64_t number = ++RequestNumber_;
    // A fault aimed at one station leaves the other stations of a shared line healthy.
    static const TSimFaults kHealthy{};
    const TSimFaults& f = Faults_.OnlyStation < 0 || Faults_.OnlyStation == station ? Faults_ : kHealthy;
    if (Hits(f.CloseEvery, number)) {
        ++Stats_.FaultCloses;
        decision.Action = TSimAction::Close;
        return decision;
    }
    if (Hits(f.DropEvery, number)) {
        ++Stats_.FaultDrops;
        decision.Action = TSimAction::Drop;
        return decision;
    }

    // Header of the answer.
    if (link.Protocol == 3) {
        answer.push_back(request.Byte0);
        answer.push_back(request.Sequence);
        answer.insert(answer.end(), request.Lump.begin(), request.Lump.end());
    } else {
        if (link.MultiDrop || link.Protocol == 2)
            answer.push_back(SimStationToBcd(f.AnswerStation >= 0 ? f.AnswerStation : station));
        if (!link.Procedure2 || !link.IsSerial) {
            if (request.HasLump) {
                answer.insert(answer.end(), request.Lump.begin(), request.Lump.end());
            } else {
                for (int shift = 24; shift >= 0; shift -= 8)
                    answer.push_back(static_cast<std::uint8_t>(link.Lump >> shift));
            }
        }
    }

    decision.DelayMs = f.LatencyMs;
    if (Hits(f.SpikeEvery, number)) {
        ++Stats_.FaultLatencySpikes;
        decision.DelayMs += f.SpikeMs;
    }
    if (f.GarbageBytes > 0 && (f.GarbageEvery == 0 || Hits(f.GarbageEvery, number))) {
        ++Stats_.FaultGarbage;
        decision.GarbageBytes = f.GarbageBytes;
    }
    if (f.SplitChunk > 0) {
        ++Stats_.FaultSplits;
        decision.SplitChunk = f.SplitChunk;
        decision.SplitDelayMs = f.SplitDelayMs;
    }
    ++Stats_.Answers;

    if (Hits(f.BusyEvery, number)) {
        ++Stats_.FaultBusy;
        answer.push_back(kStatusBusy);
        answer.push_back(request.Command);
        return decision;
    }
    if (f.ErrorStatus != 0 && Hits(f.ErrorEvery, number)) {
        ++Stats_.FaultErrors;
        answer.push_back(f.ErrorStatus);
        answer.push_back(request.Command);
        return decision;
    }

    if (request.Command == kSimSetBinaryMode) {
        answer.push_back(link.Framing == TSimFraming::Ascii ? kStatusRejected : kStatusOk);
        answer.push_back(request.Command);
        return decision;
    }
    if (!AllValid(request) || (f.RejectWrites && request.Command == kSimRandomWrite)) {
        ++Stats_.Rejections;
        answer.push_back(kStatusRejected);
        answer.push_back(request.Command);
        answer.push_back(kRejectionCode);
        if (f.RejectExtraByte) answer.push_back(0x00);
        return decision;
    }
    answer.push_back(kStatusOk);
    answer.push_back(request.Command);
    TSimMemory& memory = Station(station);
    switch (request.Command) {
    case kSimBlockRead:
        if (SimIsBitCode(request.First.Code)) {
            std::uint8_t byte = 0;
            for (std::uint32_t k = 0; k < request.Count; ++k) {
                if (memory.Get(request.First.Code, request.First.Address + k))
                    byte |= static_cast<std::uint8_t>(0x80 >> (k % 8));
                if (k % 8 == 7 || k + 1 == request.Count) {
                    answer.push_back(byte);
                    byte = 0;
                }
            }
        } else {
            for (std::uint32_t k = 0; k < request.Count; ++k)
                PutWord(answer, memory.Get(request.First.Code, request.First.Address + k));
        }
        break;
    case kSimRandomRead:
        for (std::size_t i = 0; i < request.ItemCount; ++i)
            PutWord(answer, memory.Get(request.Items[i].Code, request.Items[i].Address));
        break;
    default:
        for (std::size_t i = 0; i < request.ItemCount; ++i)
            memory.Set(request.Items[i].Code, request.Items[i].Address, request.Values[i]);
        break;
    }
    return decision;
}

} // namespace dravon
