// Colour labels. Linux keeps them as tags in the `user.xdg.tags` extended attribute (a
// comma-separated list); the seven colour labels map onto label numbers 1-7 in this order, and
// 0 means no label. The names double as the tags we recognise (case-insensitive).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillo::files {

inline constexpr std::array<std::string_view, 8> kLabelNames = {
    "None", "Gray", "Green", "Purple", "Blue", "Yellow", "Red", "Orange"};

// The label number of the first tag in the list that names a colour (also "grey"); 0 when none.
int16_t labelNumberForTags(std::string_view tags);

}  // namespace quillo::files
