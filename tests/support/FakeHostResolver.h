// A host-name resolver that answers only when the test says so, so that tests can check
// that nothing waits for a lookup and that late or stale answers are handled.
#pragma once

#include "plc/HostResolver.h"

#include <functional>
#include <string>
#include <vector>

namespace dravon::test {

class TFakeHostResolver : public IHostResolver {
public:
    struct TRequest {
        std::string Name;
        std::function<void(const std::string&)> Done;
    };
    std::vector<TRequest> Requests;

    void LookupHost(const std::string& name, std::function<void(const std::string&)> done) override {
        Requests.push_back({name, std::move(done)});
    }
    // Answers request index (on the main loop, as the real resolver would call back).
    void Answer(std::size_t index, const std::string& address) {
        auto done = Requests.at(index).Done; // a copy: the answer may add requests
        done(address);
    }
};

} // namespace dravon::test
