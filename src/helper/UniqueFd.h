// The helper uses the file core's owned descriptor.
#pragma once

#include "files/UniqueFd.h"

namespace quillo::helper {
using files::UniqueFd;
}  // namespace quillo::helper
