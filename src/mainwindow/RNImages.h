// Image operations of the file services that need a GUI: the icon that stands for an item, its
// pale (ghost) form for invisible items, a placeholder for what has no icon, and a badge drawn
// over the lower right quarter of another image.
#pragma once

#include <QIcon>
#include <QImage>
#include <QMimeType>
#include <QPixmap>
#include <QSize>

#include <string>

namespace quillo::mainwindow {

// The MIME type of an item, by its name and, for folders and special files, by its kind; never
// reads the file's contents (trashes can hold hundreds of thousands of items).
QMimeType mimeTypeOfItem(const std::string& path);
// The same from the type bits a listing already read (`mode`, 0 when unknown: then by name
// alone); never touches the file system, so rows can be drawn with it.
QMimeType mimeTypeOfItem(const std::string& path, uint32_t mode);
// The theme icon for a MIME type; made once per type and shared.
QIcon iconForMimeType(const QMimeType& type);

// The icon of an item at `size`: a custom icon is not a Linux notion, so this is the theme icon
// of its type; the placeholder when the path is empty or the theme has nothing.
QPixmap iconOfItemWithURL(const std::string& path, QSize size);
// `icon` drawn whole at the origin into a new image of `size` at 30 % opacity.
QPixmap ghostIconWithIcon(const QPixmap& icon, QSize size);
// A rounded rectangle (at least 20 by 20, radius 10) in a transparent grey with a grey rim.
QPixmap placeholderImageWithSize(QSize size);
// `main` with `adding` scaled to half its width and height in the lower right quarter.
QPixmap composedImageMainImage(const QPixmap& main, const QPixmap& adding);

}  // namespace quillo::mainwindow
