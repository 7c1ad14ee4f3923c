// The icon of a volume from the desktop's icon theme: removable media, a network share, or a
// hard drive, with Qt's own drive icon when the theme has none.
#pragma once

#include <QIcon>

#include <string>

namespace quillo::shell {

QIcon iconForVolume(const std::string& volumeURL);

}  // namespace quillo::shell
