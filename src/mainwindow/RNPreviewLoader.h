// What a preview card and the large preview panel show of an item, read off the main thread:
// the kind, size and dates, the chain of folders with their labels, and the picture (decoded
// only to the size shown, and cached) or the start of a text file.
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace quillo::erase {
class RNOperationQueue;
}

namespace quillo::mainwindow {

struct RNPreviewDetails {
    QString kind;
    QString size;
    QString dateModified;
    QString dateCreated;
    QString mimeName;  // the item's type, for its icon when there is no picture
    std::vector<RNPathEntry> path;
    QImage image;      // the picture at the side asked for; null for anything else
    QString text;      // the start of a text file; null for anything else
};

// The preview work queue (two threads: decoding is the long part), made on first use.
erase::RNOperationQueue& previewOperationQueue();

// Reads the details of `item` (file system: call on a worker). The picture and the text are read
// only with `side` > 0, the folder chain only with `withChain`.
RNPreviewDetails previewDetailsOfItem(const RNLumoWindowItem& item, int side, bool withChain);

// The picture of a file at most `side` pixels each way: the freedesktop.org thumbnail when one
// exists, otherwise the file itself decoded at that size (never whole); null when neither is a
// picture. Cached by path, side and modification time. Call on a worker.
QImage thumbnailImageOfPath(const std::string& path, int side);

// Runs previewDetailsOfItem on the preview queue and gives the result to `then` on the main
// thread, unless `context` is gone by then or `cancelled` was set (then the decoding is skipped
// too when it has not started).
void loadPreviewDetails(const RNLumoWindowItemPtr& item, int side, bool withChain, QObject* context,
                        const std::shared_ptr<std::atomic<bool>>& cancelled,
                        std::function<void(const RNPreviewDetails&)> then);

}  // namespace quillo::mainwindow
