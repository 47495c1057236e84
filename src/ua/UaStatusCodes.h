// The status codes this endpoint returns, with their numbers from the standard's
// status-code table.
#pragma once

#include "ua/UaTypes.h"

namespace dravon::UaStatus {

inline constexpr TUaStatusCode Good = 0x00000000;
inline constexpr TUaStatusCode Uncertain = 0x40000000;
inline constexpr TUaStatusCode Bad = 0x80000000;
inline constexpr TUaStatusCode BadUnexpectedError = 0x80010000;
inline constexpr TUaStatusCode BadInternalError = 0x80020000;
inline constexpr TUaStatusCode BadOutOfMemory = 0x80030000;
inline constexpr TUaStatusCode BadResourceUnavailable = 0x80040000;
inline constexpr TUaStatusCode BadEncodingError = 0x80060000;
inline constexpr TUaStatusCode BadDecodingError = 0x80070000;
inline constexpr TUaStatusCode BadEncodingLimitsExceeded = 0x80080000;
inline constexpr TUaStatusCode BadRequestTooLarge = 0x80B80000;
inline constexpr TUaStatusCode BadResponseTooLarge = 0x80B90000;
inline constexpr TUaStatusCode BadTimeout = 0x800A0000;
inline constexpr TUaStatusCode BadServiceUnsupported = 0x800B0000;
inline constexpr TUaStatusCode BadShutdown = 0x800C0000;
inline constexpr TUaStatusCode BadNothingToDo = 0x800F0000;
inline constexpr TUaStatusCode BadTooManyOperations = 0x80100000;
inline constexpr TUaStatusCode BadTooManyMonitoredItems = 0x80DB0000;
inline constexpr TUaStatusCode BadCertificateInvalid = 0x80120000;
inline constexpr TUaStatusCode BadSecurityChecksFailed = 0x80130000;
inline constexpr TUaStatusCode BadCertificateTimeInvalid = 0x80140000;
inline constexpr TUaStatusCode BadCertificateIssuerTimeInvalid = 0x80150000;
inline constexpr TUaStatusCode BadCertificateUriInvalid = 0x80170000;
inline constexpr TUaStatusCode BadCertificateUseNotAllowed = 0x80180000;
inline constexpr TUaStatusCode BadCertificateIssuerUseNotAllowed = 0x80190000;
inline constexpr TUaStatusCode BadCertificateUntrusted = 0x801A0000;
inline constexpr TUaStatusCode BadCertificateRevocationUnknown = 0x801B0000;
inline constexpr TUaStatusCode BadCertificateIssuerRevocationUnknown = 0x801C0000;
inline constexpr TUaStatusCode BadCertificateRevoked = 0x801D0000;
inline constexpr TUaStatusCode BadCertificateIssuerRevoked = 0x801E0000;
inline constexpr TUaStatusCode BadCertificateChainIncomplete = 0x810D0000;
inline constexpr TUaStatusCode BadCertificatePolicyCheckFailed = 0x81140000;
inline constexpr TUaStatusCode BadUserAccessDenied = 0x801F0000;
inline constexpr TUaStatusCode BadIdentityTokenInvalid = 0x80200000;
inline constexpr TUaStatusCode BadIdentityTokenRejected = 0x80210000;
inline constexpr TUaStatusCode BadSecureChannelIdInvalid = 0x80220000;
inline constexpr TUaStatusCode BadNonceInvalid = 0x80240000;
inline constexpr TUaStatusCode BadSessionIdInvalid = 0x80250000;
inline constexpr TUaStatusCode BadSessionClosed = 0x80260000;
inline constexpr TUaStatusCode BadSessionNotActivated = 0x80270000;
inline constexpr TUaStatusCode BadSubscriptionIdInvalid = 0x80280000;
inline constexpr TUaStatusCode BadTimestampsToReturnInvalid = 0x802B0000;
inline constexpr TUaStatusCode BadNoCommunication = 0x80310000;
inline constexpr TUaStatusCode BadWaitingForInitialData = 0x80320000;
inline constexpr TUaStatusCode BadNodeIdInvalid = 0x80330000;
inline constexpr TUaStatusCode BadNodeIdUnknown = 0x80340000;
inline constexpr TUaStatusCode BadAttributeIdInvalid = 0x80350000;
inline constexpr TUaStatusCode BadIndexRangeInvalid = 0x80360000;
inline constexpr TUaStatusCode BadIndexRangeNoData = 0x80370000;
inline constexpr TUaStatusCode BadDataEncodingInvalid = 0x80380000;
inline constexpr TUaStatusCode BadDataEncodingUnsupported = 0x80390000;
inline constexpr TUaStatusCode BadNotReadable = 0x803A0000;
inline constexpr TUaStatusCode BadNotWritable = 0x803B0000;
inline constexpr TUaStatusCode BadOutOfRange = 0x803C0000;
inline constexpr TUaStatusCode BadNotSupported = 0x803D0000;
inline constexpr TUaStatusCode BadMonitoringModeInvalid = 0x80410000;
inline constexpr TUaStatusCode BadMonitoredItemIdInvalid = 0x80420000;
inline constexpr TUaStatusCode BadMonitoredItemFilterInvalid = 0x80430000;
inline constexpr TUaStatusCode BadMonitoredItemFilterUnsupported = 0x80440000;
inline constexpr TUaStatusCode BadFilterNotAllowed = 0x80450000;
inline constexpr TUaStatusCode BadDeadbandFilterInvalid = 0x808E0000;
inline constexpr TUaStatusCode GoodSubscriptionTransferred = 0x002D0000;
inline constexpr TUaStatusCode BadContinuationPointInvalid = 0x804A0000;
inline constexpr TUaStatusCode BadNoContinuationPoints = 0x804B0000;
inline constexpr TUaStatusCode BadReferenceTypeIdInvalid = 0x804C0000;
inline constexpr TUaStatusCode BadBrowseDirectionInvalid = 0x804D0000;
inline constexpr TUaStatusCode BadRequestTypeInvalid = 0x80530000;
inline constexpr TUaStatusCode BadSecurityModeRejected = 0x80540000;
inline constexpr TUaStatusCode BadSecurityPolicyRejected = 0x80550000;
inline constexpr TUaStatusCode BadTooManySessions = 0x80560000;
inline constexpr TUaStatusCode BadUserSignatureInvalid = 0x80570000;
inline constexpr TUaStatusCode BadApplicationSignatureInvalid = 0x80580000;
inline constexpr TUaStatusCode BadBrowseNameInvalid = 0x80600000;
inline constexpr TUaStatusCode BadNoMatch = 0x806F0000;
inline constexpr TUaStatusCode BadViewIdUnknown = 0x806B0000;
inline constexpr TUaStatusCode BadMaxAgeInvalid = 0x80700000;
inline constexpr TUaStatusCode BadWriteNotSupported = 0x80730000;
inline constexpr TUaStatusCode BadTypeMismatch = 0x80740000;
inline constexpr TUaStatusCode BadTooManySubscriptions = 0x80770000;
inline constexpr TUaStatusCode BadTooManyPublishRequests = 0x80780000;
inline constexpr TUaStatusCode BadNoSubscription = 0x80790000;
inline constexpr TUaStatusCode BadSequenceNumberUnknown = 0x807A0000;
inline constexpr TUaStatusCode BadMessageNotAvailable = 0x807B0000;
inline constexpr TUaStatusCode BadTcpServerTooBusy = 0x807D0000;
inline constexpr TUaStatusCode BadTcpMessageTypeInvalid = 0x807E0000;
inline constexpr TUaStatusCode BadTcpSecureChannelUnknown = 0x807F0000;
inline constexpr TUaStatusCode BadTcpMessageTooLarge = 0x80800000;
inline constexpr TUaStatusCode BadTcpNotEnoughResources = 0x80810000;
inline constexpr TUaStatusCode BadTcpInternalError = 0x80820000;
inline constexpr TUaStatusCode BadTcpEndpointUrlInvalid = 0x80830000;
inline constexpr TUaStatusCode BadSecureChannelClosed = 0x80860000;
inline constexpr TUaStatusCode BadSecureChannelTokenUnknown = 0x80870000;
inline constexpr TUaStatusCode BadSequenceNumberInvalid = 0x80880000;
inline constexpr TUaStatusCode BadProtocolVersionUnsupported = 0x80BE0000;
inline constexpr TUaStatusCode BadConfigurationError = 0x80890000;
inline constexpr TUaStatusCode BadOutOfService = 0x808D0000;
inline constexpr TUaStatusCode UncertainLastUsableValue = 0x40900000;
inline constexpr TUaStatusCode GoodLocalOverride = 0x00960000;

} // namespace dravon::UaStatus
