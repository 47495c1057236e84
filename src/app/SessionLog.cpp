#include "app/SessionLog.h"

#include "app/Platform.h"
#include "app/Settings.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dravon {

namespace {
// A memo line costs its text plus the line break the control stores with it.
constexpr std::size_t LineBreakChars = 2;

#ifdef _WIN32
// Same bytes as on Linux (no CR added), and no handle inherited by a child.
constexpr int AppendFlags = O_WRONLY | O_APPEND | O_CREAT | O_BINARY | O_NOINHERIT;
#else
constexpr int AppendFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
#endif

// Appends text and a line end in one write. A write that fails half-way (a full disk) is
// cut back, so the file never holds a torn line. Returns 0 or the system's error number.
int AppendLine(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), AppendFlags, 0644);
    if (fd < 0) return errno;
    const std::string line = text + '\n';
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    const ssize_t written = ::write(fd, line.data(), line.size());
    int error = 0;
    if (written != static_cast<ssize_t>(line.size())) {
        error = written < 0 ? errno : ENOSPC;
        if (written > 0 && sized && S_ISREG(before.st_mode)) (void)::ftruncate(fd, before.st_size);
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}
} // namespace

TSessionLog::TSessionLog(const TSettings& settings, const IClock& clock, std::string applicationDirectory)
    : Settings_(settings), Clock_(clock), Directory_(std::move(applicationDirectory)),
      ErrorStream_(&std::cerr) {}

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
    Holding_ = false;
    ClearMemo();
    PrepareLogFile();
    Add("Dravon OPC Data Access Server " + (fileVersion.empty() ? std::string("Unknown") : fileVersion),
        true);
    AddTimed("Server started at %s");
    for (const auto& [text, showInLabel] : std::exchange(Held_, {})) Add(text, showInLabel);
}

void TSessionLog::Destroy() { AddTimed("Server shut down at %s"); }

void TSessionLog::PrepareLogFile() {
    if (!Settings_.LogEvents) return;
    std::string path = Directory_ + LogFileBaseName();
    // Creating it empty when missing and writing one empty line are one append here.
    if (AppendLine(path, std::string()) != 0) {
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

void TSessionLog::Add(const std::string& raw, bool showInLabel) {
    if (Holding_) {
        Held_.emplace_back(raw, showInLabel);
        return;
    }
    const std::string text = LogText(raw, MaxLineLength);
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
    // After a failure the gap is named in the file as soon as lines can be written again.
    if (LostLines_ > 0 &&
        AppendLine(FileName_, FormatText("%s lines could not be written", {std::to_string(LostLines_)})) == 0)
        LostLines_ = 0;
    const int error = LostLines_ > 0 ? 0 : AppendLine(FileName_, text);
    if (LostLines_ == 0 && error == 0) return;
    if (LostLines_++ == 0 && ErrorStream_)
        *ErrorStream_ << FormatText(
                             "Unable to write log file %s (%s); lines are counted until it can be written",
                             {FileName_, std::generic_category().message(error)})
                      << std::endl;
}

void TSessionLog::AddView(ISessionLogView* view) {
    if (view && std::find(Views_.begin(), Views_.end(), view) == Views_.end()) Views_.push_back(view);
}

void TSessionLog::RemoveView(ISessionLogView* view) {
    Views_.erase(std::remove(Views_.begin(), Views_.end(), view), Views_.end());
}

} // namespace dravon
