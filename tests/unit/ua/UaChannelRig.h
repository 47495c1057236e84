#pragma once

#include "UaTestClient.h"
#include "support/FakePlatform.h"
#include "ua/UaChannel.h"

#include <gtest/gtest.h>

namespace dravon::test {

// One channel (id 7) over an in-memory socket on the manual clock, recording what it delivers.
struct TChannelRig {
    explicit TChannelRig(TUaSecurityPolicyFactory policies = UaNoneOnlyPolicy) {
        auto socket = std::make_unique<TFakeUaSocket>();
        Socket = socket.get();
        Channel =
            std::make_unique<TUaChannel>(std::move(socket), Config, Platform.Clock, 7, std::move(policies));
        Channel->OnRequest = [this](std::uint32_t id, std::string_view body) {
            Requests.emplace_back(id, body);
        };
        Channel->OnError = [this](TUaStatusCode code, const std::string&, bool t) {
            Errors.emplace_back(code, t);
        };
        Channel->OnClosed = [this] { ++ClosedCalls; };
    }
    // Hello and OpenSecureChannel (sequence number 1) without security: token 1.
    void Open(std::uint32_t lifetimeMs = 600000, std::uint32_t receive = 65536, std::uint32_t maxMessage = 0,
              std::uint32_t maxChunks = 0) {
        Channel->Receive(HelloFrame(receive, 65536, maxMessage, maxChunks));
        Channel->Receive(OpenFrame(0, 1, 1, 0, 1, UaSecurityPolicyNoneUri, lifetimeMs));
        EXPECT_EQ(TakeFrames(*Socket).size(), 2u);
        EXPECT_EQ(std::pair(Channel->State(), Channel->TokenId()), std::pair(TUaChannel::TState::Open, 1u));
    }
    // The code (and reason) of the last frame written when it is an ERR frame, else 0; clears the frames.
    TUaStatusCode LastError(std::string* reason = nullptr) {
        auto frames = TakeFrames(*Socket);
        const bool error = !frames.empty() && frames.back().Type == "ERRF";
        if (reason) *reason = error ? ErrorReason(frames.back()) : "";
        return error ? ErrorCode(frames.back()) : 0;
    }

    TFakePlatform Platform;
    TUaConfig Config;
    TFakeUaSocket* Socket = nullptr;
    std::unique_ptr<TUaChannel> Channel;
    std::vector<std::pair<std::uint32_t, std::string>> Requests; // request id, body
    std::vector<std::pair<TUaStatusCode, bool>> Errors;          // code, timed out
    int ClosedCalls = 0;
};

} // namespace dravon::test
