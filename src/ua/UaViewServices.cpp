#include "ua/UaServer.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

// View service set: Browse, BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes.
namespace dravon {

void TUaServer::WriteBrowseResult(TUaBinaryWriter& w, TUaSession& session, std::vector<TUaReference> refs,
                                  std::size_t maxRefs, std::uint32_t resultMask) {
    std::size_t count = refs.size();
    std::string continuation;
    TUaStatusCode status = 0;
    if (maxRefs && count > maxRefs) {
        if (session.ContinuationPoints.size() >= TUaSession::MaxContinuationPoints) {
            status = UaStatus::BadNoContinuationPoints;
            count = 0;
        } else {
            continuation = "cp" + std::to_string(session.NextContinuation++);
            count = maxRefs;
        }
    }
    w.StatusCode(status);
    w.ByteString(continuation);
    w.ArrayLength(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& ref = refs[i];
        w.NodeId(resultMask & 0x01 ? TUaNodeId::Num(ref.ReferenceType) : TUaNodeId{});
        w.Boolean(ref.IsForward);
        w.ExpandedNodeId({ref.Target.Id, {}, 0});
        w.QualifiedName(resultMask & 0x08 ? ref.Target.BrowseName : TUaQualifiedName{});
        w.LocalizedText(resultMask & 0x10 ? TUaLocalizedText{std::nullopt, ref.Target.DisplayName}
                                          : TUaLocalizedText{});
        w.Int32(resultMask & 0x04 ? static_cast<std::int32_t>(ref.Target.NodeClass) : 0);
        TUaNodeId typeDefinition;
        if ((resultMask & 0x20) && (ref.Target.NodeClass == ncObject || ref.Target.NodeClass == ncVariable))
            typeDefinition = TUaNodeId::Num(ref.Target.TypeDefinition);
        w.ExpandedNodeId({typeDefinition, {}, 0});
    }
    if (!continuation.empty()) {
        refs.erase(refs.begin(), refs.begin() + static_cast<std::ptrdiff_t>(count));
        session.ContinuationPoints[continuation] = {std::move(refs), maxRefs, resultMask};
    }
}

void TUaServer::Browse(TRequest& r, TUaBinaryReader& in) {
    TUaBrowseRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Browse");
    if (!m.ViewId.IsNull()) return Fault(r, UaStatus::BadViewIdUnknown);
    if (m.NodesToBrowse.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.NodesToBrowse.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::BrowseResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.NodesToBrowse.size());
    for (const auto& d : m.NodesToBrowse) {
        auto fail = [&](TUaStatusCode status) {
            w.StatusCode(status);
            w.Int32(-1);
            w.EmptyArray();
        };
        if (d.BrowseDirection > 2) {
            fail(UaStatus::BadBrowseDirectionInvalid);
            continue;
        }
        bool anyType = d.ReferenceTypeId.IsNull();
        if (!anyType && (d.ReferenceTypeId.Namespace != 0 || d.ReferenceTypeId.Kind != TUaIdKind::Numeric ||
                         !TUaAddressSpace::IsKnownReferenceType(d.ReferenceTypeId.Numeric))) {
            fail(UaStatus::BadReferenceTypeIdInvalid);
            continue;
        }
        auto node = Space_.Find(d.NodeId, r.Session->Backend.get());
        if (!node) {
            fail(UaStatus::BadNodeIdUnknown);
            continue;
        }
        std::vector<TUaReference> refs;
        for (auto& ref : Space_.References(*node, r.Session->Backend.get())) {
            if (d.BrowseDirection == 0 && !ref.IsForward) continue;
            if (d.BrowseDirection == 1 && ref.IsForward) continue;
            if (!anyType && !TUaAddressSpace::IsReferenceOf(ref.ReferenceType, d.ReferenceTypeId.Numeric,
                                                            d.IncludeSubtypes))
                continue;
            if (d.NodeClassMask && !(d.NodeClassMask & ref.Target.NodeClass)) continue;
            refs.push_back(std::move(ref));
        }
        WriteBrowseResult(w, *r.Session, std::move(refs), m.RequestedMaxReferencesPerNode, d.ResultMask);
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::BrowseNext(TRequest& r, TUaBinaryReader& in) {
    TUaBrowseNextRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed BrowseNext");
    if (m.ContinuationPoints.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.ContinuationPoints.size() > MaxOperationsPerRequest)
        return Fault(r, UaStatus::BadTooManyOperations);
    TUaSession& session = *r.Session;
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::BrowseNextResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.ContinuationPoints.size());
    for (const auto& point : m.ContinuationPoints) {
        auto it = session.ContinuationPoints.find(point);
        if (it == session.ContinuationPoints.end()) {
            w.StatusCode(UaStatus::BadContinuationPointInvalid);
            w.Int32(-1);
            w.EmptyArray();
            continue;
        }
        TUaSession::TContinuation continuation = std::move(it->second);
        session.ContinuationPoints.erase(it);
        if (m.ReleaseContinuationPoints) {
            w.StatusCode(0);
            w.Int32(-1);
            w.EmptyArray();
            continue;
        }
        // The remaining references go in pages of the size the Browse asked for.
        WriteBrowseResult(w, session, std::move(continuation.References), continuation.MaxReferences,
                          continuation.ResultMask);
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::TranslateBrowsePaths(TRequest& r, TUaBinaryReader& in) {
    TUaTranslateRequest m;
    if (!Decode(in, m))
        return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed TranslateBrowsePathsToNodeIds");
    if (m.BrowsePaths.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.BrowsePaths.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::TranslateBrowsePathsToNodeIdsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.BrowsePaths.size());
    for (const auto& path : m.BrowsePaths) {
        auto start = Space_.Find(path.StartingNode, r.Session->Backend.get());
        TUaStatusCode status = 0;
        std::vector<TUaNode> current;
        if (!start)
            status = UaStatus::BadNodeIdUnknown;
        else if (path.Elements.empty())
            status = UaStatus::BadNothingToDo;
        else
            current.push_back(*start);
        for (const auto& element : path.Elements) {
            if (status) break;
            if (element.TargetName.Name.empty()) {
                status = UaStatus::BadBrowseNameInvalid;
                break;
            }
            std::uint32_t type = element.ReferenceTypeId.IsNull() ? UaId::HierarchicalReferences
                                                                  : element.ReferenceTypeId.Numeric;
            std::vector<TUaNode> next;
            for (const auto& node : current)
                for (auto& ref : Space_.References(node, r.Session->Backend.get()))
                    if (ref.IsForward != element.IsInverse &&
                        TUaAddressSpace::IsReferenceOf(ref.ReferenceType, type, element.IncludeSubtypes) &&
                        ref.Target.BrowseName == element.TargetName)
                        next.push_back(std::move(ref.Target));
            current = std::move(next);
            if (current.empty()) status = UaStatus::BadNoMatch;
        }
        w.StatusCode(status);
        if (status) {
            w.EmptyArray();
            continue;
        }
        w.ArrayLength(current.size());
        for (const auto& target : current) {
            w.ExpandedNodeId({target.Id, {}, 0});
            w.UInt32(0xFFFFFFFF);
        }
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::RegisterNodes(TRequest& r, TUaBinaryReader& in, bool unregister) {
    TUaNodeListRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed RegisterNodes");
    if (m.Nodes.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.Nodes.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    if (unregister) {
        WriteResponseStart(w, UaId::UnregisterNodesResponse, Now(), m.Header.RequestHandle);
    } else {
        // Item IDs are already the fastest handle there is: the registered ids are the ids.
        WriteResponseStart(w, UaId::RegisterNodesResponse, Now(), m.Header.RequestHandle);
        w.Array(m.Nodes, [&](const TUaNodeId& id) { w.NodeId(id); });
    }
    Reply(r, w.Bytes());
}

} // namespace dravon
