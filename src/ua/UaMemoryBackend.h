// An in-memory backend: a fixed tree of folders and variables whose values a program
// sets directly. It behaves like the DA model where the endpoint can see it (update rates
// revised to multiples of 25 ms, groups reporting changed values and statuses, the first
// report carrying every item, device reads answered later from the loop) and serves the
// endpoint's tests and demos before a PLC is attached.
#pragma once

#include "ua/UaBackend.h"

#include <map>
#include <memory>
#include <set>

namespace dravon {

struct TServerContext;

class TUaMemoryBackend : public IUaBackend {
public:
    struct TVariable {
        TUaBackendNode Node;
        TUaBackendValue Value;
        TUaStatusCode WriteRefusal = 0; // non-zero: writes are answered with it, later
    };

    explicit TUaMemoryBackend(TServerContext& context);
    ~TUaMemoryBackend() override;

    // Adds a folder below a parent folder ("/" is the top); returns its id.
    std::string AddFolder(const std::string& parent, const std::string& name);
    // Adds a variable named by an item ID below a folder.
    void AddVariable(const std::string& parent, const std::string& itemId, const std::string& name,
                     TUaVariant value, bool writable);
    // Changes a value as a poll would (status and source time included).
    void SetValue(const std::string& itemId, TUaVariant value, TUaStatusCode status = 0);
    void SetStatus(const std::string& itemId, TUaStatusCode status);
    void SetWriteRefusal(const std::string& itemId, TUaStatusCode status);
    const TVariable* Find(const std::string& itemId) const;

    // Counters a test can check: open sessions and groups.
    int SessionCount = 0;
    int GroupCount = 0;
    std::vector<std::string> SessionNames;

    bool Children(const std::string& folderId, std::vector<TUaBackendNode>& out,
                  IUaBackendSession* session) override;
    bool Describe(const std::string& id, TUaBackendNode& out, IUaBackendSession* session) override;
    std::string ParentOf(const std::string& id) override;
    std::unique_ptr<IUaBackendSession> CreateSession(const std::string& clientName) override;

    // Revision rule of group update rates: multiples of 25 ms, at least 25 ms.
    static double ReviseRate(double requested);

private:
    class TSession;
    class TGroup;
    friend class TSession;
    friend class TGroup;

    TUaDateTime Now() const;

    TServerContext& Context_;
    std::map<std::string, TUaBackendNode> Folders_;
    std::map<std::string, std::vector<std::string>> ChildIds_;
    std::map<std::string, std::string> Parents_;
    std::map<std::string, TVariable> Variables_;
    std::shared_ptr<bool> Alive_ = std::make_shared<bool>(true);
};

} // namespace dravon
