#include "app/Logger.h"

#include "app/Platform.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"

#include <cstdio>

namespace dravon {

namespace {
const char* const KindLabels[] = {"", " Session ", " Exception ", " Call ", " Call start ", " Call end   "};
}

TLogger::TLogger(const IClock& clock, std::string fileName) : Clock_(clock), FileName_(std::move(fileName)) {}

std::string TLogger::Prefix() const {
    std::string prefix = "|";
    for (std::size_t level = 1; level < Blocks_.size(); ++level)
        prefix += std::string(IndentWidth, ' ') + "|";
    return prefix;
}

std::string TLogger::Line(int kind, const std::string& text, bool withTime) const {
    std::string tail = " ";
    if (kind > 0 && kind <= lkCallEnd) tail = std::string(KindLabels[kind]) + "|" + tail;
    if (withTime) tail = DateTimeText(Clock_.Now()) + "|" + tail;
    // Client names and item IDs reach these lines: one call stays one line.
    return Prefix() + tail + LogText(text, MaxTextLength);
}

void TLogger::RawWrite(const std::string& line) {
    if (!Enabled) return;
    std::FILE* file = std::fopen(FileName_.c_str(), "ab");
    if (!file) return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
    std::fclose(file);
}

void TLogger::WriteLine(int kind, const std::string& text, bool withTime) {
    if (Blocks_.back() == 1) {
        std::string prefix = Prefix();
        RawWrite(prefix.substr(0, prefix.size() - 1));
    }
    RawWrite(Line(kind, text, withTime));
    Blocks_.back() = 0;
}

void TLogger::BeginBlock(int kind, const std::string& text, bool withTime) {
    std::string prefix = Prefix();
    std::string line = Line(kind, text, withTime);
    if (kind != lkSession) RawWrite(prefix.substr(0, prefix.size() - 1));
    RawWrite(line);
    Blocks_.push_back(1);
}

void TLogger::EndBlock(int kind, const std::string& text, bool withTime) {
    bool hadLines = Blocks_.back() == 0;
    if (Blocks_.size() > 1) Blocks_.pop_back();
    Blocks_.back() = 1;
    if (hadLines || kind == lkSession) RawWrite(Prefix());
    RawWrite(Line(kind, text, withTime));
}

void TLogger::SessionStarted() { BeginBlock(lkSession, "OPC server session started", true); }

void TLogger::SessionEnded() {
    EndBlock(lkSession, "OPC server session ended", true);
    RawWrite("\n\r\n\r\n\r");
}

} // namespace dravon
