#include "app/SessionLog.h"

#include "app/Platform.h"
#include "app/Settings.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"

#include <algorithm>
#include <cstdio>

namespace dravon {

namespace {
// A memo line costs its text plus the line break the control stores with it.
constexpr std::size_t LineBreakChars = 2;

bool AppendLine(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fputc('\n', file) != EOF;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}
} // namespace

TSessionLog::TSessionLog(const TSettings& settings, const IClock& clock, std::string applicationDirectory)
    : Settings_(settings), Clock_(clock), Directory_(std::move(applicationDirectory)) {}

std::string TSessionLog::LogFileBaseName() {
    std::string name = "Dravon";
    for (char& c : name) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
                    c == '-';
        if (!keep) c = '_';
    }
    auto first = name.find_first_not_of(' ');
    auto last = name.find_last_not_of(' ');
    name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
    return name + ".log";
}

void TSessionLog::Create(const std::string& fileVersion) {
    ClearMemo();
    PrepareLogFile();
    Add("Dravon OPC Data Access Server " + (fileVersion.empty() ? std::string("Unknown") : fileVersion),
        true);
    AddTimed("Server started at %s");
}

void TSessionLog::Destroy() { AddTimed("Server shut down at %s"); }

void TSessionLog::PrepareLogFile() {
    if (!Settings_.LogEvents) return;
    std::string path = Directory_ + LogFileBaseName();
    // Creating it empty when missing and writing one empty line are one append here.
    if (!AppendLine(path, std::string())) {
        Add(FormatText("Unable to create log file %s", {path}), true);
        FileName_.clear();
        return;
    }
    FileName_ = path;
    Add(FormatText("Log file saved as %s", {path}), true);
}

void TSessionLog::ClearMemo() {
    Memo_.clear();
    MemoChars_ = 0;
    for (auto* view : Views_) view->MemoCleared();
}

void TSessionLog::Add(const std::string& text, bool showInLabel) {
    if (MemoChars_ > MemoLimit) ClearMemo();
    Memo_.push_back(text);
    MemoChars_ += text.size() + LineBreakChars;
    for (auto* view : Views_) view->MemoLineAdded(text);
    if (showInLabel)
        for (auto* view : Views_) view->ShowMessage(text, LabelDurationMs);
    AppendToFile(text);
}

void TSessionLog::AddTimed(const std::string& format) {
    Add(FormatText(format, {TimeDateText(Clock_.Now())}), true);
}

void TSessionLog::AppendToFile(const std::string& text) {
    // The setting is read at every line: switching it off stops the file at once.
    if (!Settings_.LogEvents || FileName_.empty()) return;
    AppendLine(FileName_, text); // a failed write loses the line from the file only
}

void TSessionLog::AddView(ISessionLogView* view) {
    if (view && std::find(Views_.begin(), Views_.end(), view) == Views_.end()) Views_.push_back(view);
}

void TSessionLog::RemoveView(ISessionLogView* view) {
    Views_.erase(std::remove(Views_.begin(), Views_.end(), view), Views_.end());
}

} // namespace dravon
