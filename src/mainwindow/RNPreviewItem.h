// What one preview card and the large preview panel show about a listed trash item.
#pragma once

#include "mainwindow/RNLumoWindowItem.h"

#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace quillo::mainwindow {

// One link of the folder chain from the volume down to the item.
struct RNPathEntry {
    QString name;         // display name; "No Item found" when it has none
    std::string url;      // its path; empty when it has no display name
    bool isInvisible = false;
    int16_t finderTag = 0;
    QString mimeName;     // its type, for its icon
};

class RNPreviewItem {
public:
    RNPreviewItem(const RNLumoWindowItemPtr& item, int64_t index) : item(item), index(index) {}

    bool dontUpdate = false;
    std::weak_ptr<RNLumoWindowItem> item;
    int64_t index;

    std::string url() const;
    QString name() const;
    QString kind() const;
    QString size() const;  // "--" for 0 bytes
    static QString sizeText(uint64_t bytes);
    QString dateModified() const;
    QString dateCreated() const;
    std::vector<RNPathEntry> oldStylePath() const;

    // The path dictionary of one folder or file.
    static RNPathEntry serviceDictionaryWithURL(const std::string& url);
    // The chain for a path: from the volume's own folder (or "/" on the volume that holds the
    // root) down to the item itself.
    static std::vector<RNPathEntry> oldStylePathForPath(const std::string& path);
};

using RNPreviewItemPtr = std::shared_ptr<RNPreviewItem>;

// The file:// URI of a path, its bytes percent-encoded (so that names that are not UTF-8 are
// kept exactly).
QString fileUriOfPath(const std::string& path);
// Selects the paths in the desktop's file manager (org.freedesktop.FileManager1.ShowItems),
// or opens their folder when no file manager answers. Returns at once: the answer is awaited
// without blocking.
void revealInFileManager(const std::vector<std::string>& paths);
// Opens a path with its default application.
void openWithDefaultApplication(const std::string& path);

}  // namespace quillo::mainwindow
