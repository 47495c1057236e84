#include "ua/UaStatusNames.h"

#include "ua/UaStatusCodes.h"

#include <cstdio>
#include <utility>

namespace dravon {

std::string UaStatusName(TUaStatusCode code) {
    static constexpr std::pair<TUaStatusCode, const char*> Names[] = {
        {UaStatus::Good, "Good"},
        {UaStatus::Uncertain, "Uncertain"},
        {UaStatus::Bad, "Bad"},
        {UaStatus::BadUnexpectedError, "Bad_UnexpectedError"},
        {UaStatus::BadInternalError, "Bad_InternalError"},
        {UaStatus::BadOutOfMemory, "Bad_OutOfMemory"},
        {UaStatus::BadResourceUnavailable, "Bad_ResourceUnavailable"},
        {UaStatus::BadEncodingError, "Bad_EncodingError"},
        {UaStatus::BadDecodingError, "Bad_DecodingError"},
        {UaStatus::BadEncodingLimitsExceeded, "Bad_EncodingLimitsExceeded"},
        {UaStatus::BadRequestTooLarge, "Bad_RequestTooLarge"},
        {UaStatus::BadResponseTooLarge, "Bad_ResponseTooLarge"},
        {UaStatus::BadTimeout, "Bad_Timeout"},
        {UaStatus::BadServiceUnsupported, "Bad_ServiceUnsupported"},
        {UaStatus::BadShutdown, "Bad_Shutdown"},
        {UaStatus::BadNothingToDo, "Bad_NothingToDo"},
        {UaStatus::BadTooManyOperations, "Bad_TooManyOperations"},
        {UaStatus::BadTooManyMonitoredItems, "Bad_TooManyMonitoredItems"},
        {UaStatus::BadUserAccessDenied, "Bad_UserAccessDenied"},
        {UaStatus::BadIdentityTokenInvalid, "Bad_IdentityTokenInvalid"},
        {UaStatus::BadIdentityTokenRejected, "Bad_IdentityTokenRejected"},
        {UaStatus::BadSecureChannelIdInvalid, "Bad_SecureChannelIdInvalid"},
        {UaStatus::BadSessionIdInvalid, "Bad_SessionIdInvalid"},
        {UaStatus::BadSessionClosed, "Bad_SessionClosed"},
        {UaStatus::BadSessionNotActivated, "Bad_SessionNotActivated"},
        {UaStatus::BadSubscriptionIdInvalid, "Bad_SubscriptionIdInvalid"},
        {UaStatus::BadTimestampsToReturnInvalid, "Bad_TimestampsToReturnInvalid"},
        {UaStatus::BadNoCommunication, "Bad_NoCommunication"},
        {UaStatus::BadWaitingForInitialData, "Bad_WaitingForInitialData"},
        {UaStatus::BadNodeIdInvalid, "Bad_NodeIdInvalid"},
        {UaStatus::BadNodeIdUnknown, "Bad_NodeIdUnknown"},
        {UaStatus::BadAttributeIdInvalid, "Bad_AttributeIdInvalid"},
        {UaStatus::BadIndexRangeInvalid, "Bad_IndexRangeInvalid"},
        {UaStatus::BadIndexRangeNoData, "Bad_IndexRangeNoData"},
        {UaStatus::BadDataEncodingInvalid, "Bad_DataEncodingInvalid"},
        {UaStatus::BadDataEncodingUnsupported, "Bad_DataEncodingUnsupported"},
        {UaStatus::BadNotReadable, "Bad_NotReadable"},
        {UaStatus::BadNotWritable, "Bad_NotWritable"},
        {UaStatus::BadOutOfRange, "Bad_OutOfRange"},
        {UaStatus::BadNotSupported, "Bad_NotSupported"},
        {UaStatus::BadMonitoringModeInvalid, "Bad_MonitoringModeInvalid"},
        {UaStatus::BadMonitoredItemIdInvalid, "Bad_MonitoredItemIdInvalid"},
        {UaStatus::BadMonitoredItemFilterInvalid, "Bad_MonitoredItemFilterInvalid"},
        {UaStatus::BadMonitoredItemFilterUnsupported, "Bad_MonitoredItemFilterUnsupported"},
        {UaStatus::BadContinuationPointInvalid, "Bad_ContinuationPointInvalid"},
        {UaStatus::BadNoContinuationPoints, "Bad_NoContinuationPoints"},
        {UaStatus::BadReferenceTypeIdInvalid, "Bad_ReferenceTypeIdInvalid"},
        {UaStatus::BadBrowseDirectionInvalid, "Bad_BrowseDirectionInvalid"},
        {UaStatus::BadRequestTypeInvalid, "Bad_RequestTypeInvalid"},
        {UaStatus::BadSecurityModeRejected, "Bad_SecurityModeRejected"},
        {UaStatus::BadSecurityPolicyRejected, "Bad_SecurityPolicyRejected"},
        {UaStatus::BadTooManySessions, "Bad_TooManySessions"},
        {UaStatus::BadBrowseNameInvalid, "Bad_BrowseNameInvalid"},
        {UaStatus::BadNoMatch, "Bad_NoMatch"},
        {UaStatus::BadViewIdUnknown, "Bad_ViewIdUnknown"},
        {UaStatus::BadMaxAgeInvalid, "Bad_MaxAgeInvalid"},
        {UaStatus::BadWriteNotSupported, "Bad_WriteNotSupported"},
        {UaStatus::BadTypeMismatch, "Bad_TypeMismatch"},
        {UaStatus::BadTooManySubscriptions, "Bad_TooManySubscriptions"},
        {UaStatus::BadTooManyPublishRequests, "Bad_TooManyPublishRequests"},
        {UaStatus::BadNoSubscription, "Bad_NoSubscription"},
        {UaStatus::BadSequenceNumberUnknown, "Bad_SequenceNumberUnknown"},
        {UaStatus::BadMessageNotAvailable, "Bad_MessageNotAvailable"},
        {UaStatus::BadTcpServerTooBusy, "Bad_TcpServerTooBusy"},
        {UaStatus::BadTcpMessageTypeInvalid, "Bad_TcpMessageTypeInvalid"},
        {UaStatus::BadTcpSecureChannelUnknown, "Bad_TcpSecureChannelUnknown"},
        {UaStatus::BadTcpMessageTooLarge, "Bad_TcpMessageTooLarge"},
        {UaStatus::BadTcpNotEnoughResources, "Bad_TcpNotEnoughResources"},
        {UaStatus::BadTcpInternalError, "Bad_TcpInternalError"},
        {UaStatus::BadTcpEndpointUrlInvalid, "Bad_TcpEndpointUrlInvalid"},
        {UaStatus::BadSecureChannelClosed, "Bad_SecureChannelClosed"},
        {UaStatus::BadSecureChannelTokenUnknown, "Bad_SecureChannelTokenUnknown"},
        {UaStatus::BadSequenceNumberInvalid, "Bad_SequenceNumberInvalid"},
        {UaStatus::BadProtocolVersionUnsupported, "Bad_ProtocolVersionUnsupported"},
        {UaStatus::BadConfigurationError, "Bad_ConfigurationError"},
        {UaStatus::BadOutOfService, "Bad_OutOfService"},
        {UaStatus::UncertainLastUsableValue, "Uncertain_LastUsableValue"},
        {UaStatus::GoodLocalOverride, "Good_LocalOverride"},
    };
    for (const auto& [value, name] : Names)
        if (value == code) return name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

} // namespace dravon
