// TDAConnectionItem: one server object's entry in the connection list. Linking sets both
// directions (the server object learns its list); unlinking clears both.
#pragma once

namespace dravon {

class TDA2;
class TOPCDAConnectionCollection;

class TDAConnectionItem {
public:
    explicit TDAConnectionItem(TOPCDAConnectionCollection& list) : List_(list) {}
    TDAConnectionItem(const TDAConnectionItem&) = delete;
    TDAConnectionItem& operator=(const TDAConnectionItem&) = delete;

    TDA2* Server() const { return Server_; }
    TOPCDAConnectionCollection& List() const { return List_; }
    void Link(TDA2& server);
    void Unlink();

private:
    TOPCDAConnectionCollection& List_;
    TDA2* Server_ = nullptr;
};

} // namespace dravon
