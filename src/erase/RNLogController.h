// The erase log: a plain UTF-8 text file with a dated start line, one numbered line per item
// erased and a closing line with the total size. Logs live in $XDG_STATE_HOME/Quillo 3 (default
// ~/.local/state/Quillo 3), one subfolder per kind of erase; an erase appends to the newest file
// of its kind unless that file is older than the day limit, in which case a new dated file is
// started. Older files are never removed, and an existing file is never truncated.
//
// One controller per erase. The session's phases keep its writers apart (start line on the main
// thread, item lines from the erase task or the helper's callbacks, the end line from the
// progress tick), so it has no lock; every line still goes out in one write() on an O_APPEND
// descriptor, so lines can never interleave with another writer of the same file.
#pragma once

#include "erase/RNValue.h"

#include <atomic>
#include <mutex>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::erase {

class RNLogController {
public:
    // "quiet" (true: a failed write is not shown, the owner asks writeFailed()),
    // "startStr", "endStr", "partialLogName" (texts, looked up again in the main table, which
    // gives an already localized text back unchanged), "gapTime" (days, read as a signed 16-bit
    // number; 7 when absent), optionally "endFormat" (the key of the closing line's format;
    // "items_erased" when absent) and, optionally, "previousLogName": the name the kind's folder
    // had before, a folder that is renamed to "partialLogName" while that name is free, so that
    // its logs go on. The dictionary is copied.
    explicit RNLogController(const RNDictionary& info);
    // Closes the file (an abandoned erase never calls closeLogFile()).
    ~RNLogController();
    RNLogController(const RNLogController&) = delete;
    RNLogController& operator=(const RNLogController&) = delete;

    // Chooses (or creates) the file and opens it for appending. False when the folder or a new
    // file cannot be made. True also when an existing file could not be opened for writing:
    // the writes then do nothing for this erase.
    bool openLogFile();
    // base/name, created (mode 0700, with any missing parents of the base) when missing;
    // nullopt when it cannot be made. Something already at that path counts as present.
    std::optional<std::string> urlWithFolderName(const std::string& name);
    // Makes the newest plain file directly in `folder` (hidden names skipped) currLogURL; true
    // when it was created less than `days` days ago.
    bool searchLogFileWithURL(const std::string& folder, int16_t days);

    void writeStartSession();
    void writeEntryWithPath(const std::string& path, uint64_t size);
    void writeEndSessionAndCloseFile();
    void closeLogFile();

    uint64_t totSize() const { return totSize_; }
    uint64_t itemsCount() const { return itemsCount_; }
    const std::string& currLogURL() const { return currLogURL_; }
    bool hasLogHandle() const { return currLogHandle_ >= 0; }
    // A write failed (the disk is full): the rest of this session's log was dropped.
    bool writeFailed() const { return writeFailed_.load(); }
    const RNDictionary& infoDict() const { return infoDict_; }

    // $XDG_STATE_HOME/Quillo 3; XDG_STATE_HOME (when absolute) else ~/.local/state.
    static std::string logsBaseFolder();
    // The creation time of a file in seconds since 1970: its birth time when the file system
    // records one, else its modification time. nullopt when it cannot be read.
    static std::optional<double> creationDateOfFile(const std::string& path);
    // A path as it goes into a line: valid UTF-8 is kept; each byte of an invalid sequence and
    // each control byte (C0 and DEL, so a name with a line feed stays on one line) is written
    // as \xHH with upper-case hex.
    static std::string escapedPathForLog(std::string_view path);

    // "Now" in seconds since 1970; tests put a fixed clock here. Used for the dates in names
    // and lines and for the day-limit comparison.
    using Clock = std::function<double()>;
    void setClock(Clock clock) { clock_ = std::move(clock); }

private:
    double now() const;
    bool createNewLogFile(const std::string& folder, const std::string& name);
    static void takeOverPreviousFolder(const std::string& name, const std::string& previous);
    void writeLine(const std::string& line);
    void flushPending();
    void flushPendingLocked();

    static constexpr size_t kFlushBytes = 64 * 1024;
    static constexpr std::chrono::milliseconds kFlushInterval{250};
    std::string pending_;  // item lines not yet written
    std::chrono::steady_clock::time_point lastFlush_ = std::chrono::steady_clock::now();

    uint64_t totSize_ = 0;
    uint64_t itemsCount_ = 0;
    std::string currLogURL_;
    int currLogHandle_ = -1;
    // Item lines may come from the two workers of an erase at once.
    std::mutex entryMutex_;
    // A write failed (a full disk): the rest of this session's log is dropped, and the user was
    // told once.
    std::atomic<bool> writeFailed_{false};
    RNDictionary infoDict_;
    Clock clock_;
};

}  // namespace quillo::erase
