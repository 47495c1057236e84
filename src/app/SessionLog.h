// The operator's event log: a bounded memo that the window shows, a message label, and
// Dravon.log in the application directory while LogEvents is on.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace dravon {

class IClock;
struct TSettings;

// What the window (or the console) attaches to see the log.
class ISessionLogView {
public:
    virtual ~ISessionLogView() = default;
    virtual void MemoCleared() = 0;
    virtual void MemoLineAdded(const std::string& line) = 0;
    // Show in the message label for durationMs.
    virtual void ShowMessage(const std::string& text, unsigned durationMs) = 0;
};

class TSessionLog {
public:
    static constexpr std::size_t MemoLimit = 30000;
    static constexpr unsigned LabelDurationMs = 5000;
    // A line longer than this is cut (its parts from outside are cut far shorter already).
    static constexpr std::size_t MaxLineLength = 65536;

    TSessionLog(const TSettings& settings, const IClock& clock, std::string applicationDirectory);
    TSessionLog(const TSessionLog&) = delete;
    TSessionLog& operator=(const TSessionLog&) = delete;

    // Clears the memo, prepares the file, writes the banner and "Server started at %s".
    void Create(const std::string& fileVersion);
    // Writes "Server shut down at %s".
    void Destroy();

    // Control characters and bytes that are not UTF-8 are escaped, so one call is always
    // one line.
    void Add(const std::string& text, bool showInLabel);
    // Lines added from now until Create are held and added after its banner (what the
    // start-up found before the log existed).
    void HoldLines() { Holding_ = true; }
    // Formats format with TimeDateText(now) and adds it, shown in the label.
    void AddTimed(const std::string& format);

    // Prepares Dravon.log when LogEvents is on (again when the setting is switched on).
    void PrepareLogFile();
    const std::string& FileName() const { return FileName_; }

    void ClearMemo();
    const std::vector<std::string>& MemoLines() const { return Memo_; }
    std::size_t MemoChars() const { return MemoChars_; }

    void AddView(ISessionLogView* view);
    void RemoveView(ISessionLogView* view);

    // "Dravon" made file-name-safe + ".log".
    static std::string LogFileBaseName();

    // Where a failing log file is reported (once per failure spell); stderr by default.
    void SetErrorStream(std::ostream* stream) { ErrorStream_ = stream; }
    // Lines not written to the file since it started failing.
    std::size_t LostLines() const { return LostLines_; }

private:
    void AppendToFile(const std::string& text);

    const TSettings& Settings_;
    const IClock& Clock_;
    std::string Directory_;
    std::string FileName_;
    std::vector<std::string> Memo_;
    std::size_t MemoChars_ = 0;
    std::vector<ISessionLogView*> Views_;
    bool Holding_ = false;
    std::vector<std::pair<std::string, bool>> Held_;
    std::ostream* ErrorStream_;
    std::size_t LostLines_ = 0;
};

} // namespace dravon
