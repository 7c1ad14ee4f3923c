// One trashed item as a row of the Lumo Window's content list. The path and name are set when
// the item is listed and never change; the size, count and mark change while folders are
// measured in the background and while the user marks rows, so they are atomic. Everything else
// is read from the file system on every call.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QVariant>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace quillo::mainwindow {

class RNLumoWindowItem;
using RNLumoWindowItemPtr = std::shared_ptr<RNLumoWindowItem>;

class RNLumoWindowItem {
public:
    static RNLumoWindowItemPtr item() { return std::make_shared<RNLumoWindowItem>(); }

    // Stored values.
    std::string url;    // the trashed item's path (bytes)
    std::string name;   // its file-system name (bytes)
    // Seconds since 2001-01-01 UTC; 0 when the trash keeps no date (or until it has been read:
    // the dates of a large trash are read after its sizes).
    std::atomic<double> dateAdded{0};
    std::atomic<bool> isMarked{false};
    // Where the item came from (absolute bytes), read from its info file with the date and set
    // from the same background thread; empty while unread, and when the trash keeps no place or
    // one that cannot be trusted (a ".." component, outside its volume).
    void setOriginalPath(std::string path) {
        originalPath_.store(std::make_shared<const std::string>(std::move(path)));
    }
    std::string originalPath() const {
        const auto p = originalPath_.load();
        return p ? *p : std::string();
    }
    std::atomic<uint64_t> size{0};
    std::atomic<uint64_t> actualCount{0};  // 1 for a file; entries below a folder, once measured
    // The size is final: a file whose size was read, or a folder whose walk has ended. (An
    // unreadable or empty folder measures 0 entries, so the count alone cannot tell.)
    std::atomic<bool> sizeIsKnown{false};
    // Type and permission bits (st_mode) as the listing read them; 0 when unknown. What the rows
    // draw (the icon) comes from here: drawing never asks the file system.
    std::atomic<uint32_t> mode{0};
    // The content list's icon, looked up when the row is first drawn (main thread only).
    QIcon listIcon;
    bool listIconLoaded = false;

    // Display form of the name: bytes that are not UTF-8 show as "\xE9" escapes.
    QString displayName() const;

    // Derived values, read from the file system: call them off the main thread.
    bool isDirectory() const;
    const std::string& path() const { return url; }
    bool isAlias() const;
    bool isInvisible() const;
    QString kind() const;
    bool isEmptyDirectory() const;
    double dateCreated() const;
    double dateModified() const;
    QString formattedDateCreated() const;
    QString formattedDateModified() const;
    double cfDateAdded() const;  // the largest signed 64-bit number when the date is unknown
    QPixmap fileIcon() const;
    QPixmap fileIconWithSize(QSize size) const;
    QPixmap iconImageWithValue(int value) const;
    QPixmap thumbnailWithValue(int value) const;
    int16_t labelNumber() const;

    // Display form of the original path; empty when unknown.
    QString displayOriginalPath() const;

    // The value a column sorts and binds by ("check_col", "name_col", "date_added_col",
    // "size_col", "original_location_col"); any other key gives eight U+00FF characters.
    QVariant valueForKey(const QString& key) const;
    static QString valueForString(const QString& string, bool direction);

private:
    std::atomic<std::shared_ptr<const std::string>> originalPath_;
};

}  // namespace quillo::mainwindow
