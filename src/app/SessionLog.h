// The operator's event log: a bounded memo that the window shows, a message label, and
// Dravon.log in the application directory while LogEvents is on.
#pragma once

#include <cstddef>
#include <string>
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

    TSessionLog(const TSettings& settings, const IClock& clock, std::string applicationDirectory);
    TSessionLog(const TSessionLog&) = delete;
    TSessionLog& operator=(const TSessionLog&) = delete;

    // Clears the memo, prepares the file, writes the banner and "Server started at %s".
    void Create(const std::string& fileVersion);
    // Writes "Server shut down at %s".
    void Destroy();

    void Add(const std::string& text, bool showInLabel);
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

private:
    void AppendToFile(const std::string& text);

    const TSettings& Settings_;
    const IClock& Clock_;
    std::string Directory_;
    std::string FileName_;
    std::vector<std::string> Memo_;
    std::size_t MemoChars_ = 0;
    std::vector<ISessionLogView*> Views_;
};

} // namespace dravon
