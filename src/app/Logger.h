// The developer trace of OPC calls (DravonDebug.Log), written only with DEBUGLOG. Lines
// are indented by call nesting; the block stack is kept even while nothing is written.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dravon {

class IClock;

enum TLogKind { lkNone = 0, lkSession = 1, lkException = 2, lkCall = 3, lkCallStart = 4, lkCallEnd = 5 };

class TLogger {
public:
    static constexpr int IndentWidth = 2;
    static constexpr std::size_t MaxTextLength = 4096;

    TLogger(const IClock& clock, std::string fileName);

    bool Enabled = false;

    void WriteLine(int kind, const std::string& text, bool withTime);
    void BeginBlock(int kind, const std::string& text, bool withTime);
    void EndBlock(int kind, const std::string& text, bool withTime);
    void SessionStarted();
    void SessionEnded();

    const std::string& FileName() const { return FileName_; }
    int Depth() const { return static_cast<int>(Blocks_.size()); }

private:
    std::string Prefix() const;
    std::string Line(int kind, const std::string& text, bool withTime) const;
    void RawWrite(const std::string& line);

    const IClock& Clock_;
    std::string FileName_;
    // One flag per open level; 1 while the innermost block has no line yet.
    std::vector<int> Blocks_{1};
};

} // namespace dravon
