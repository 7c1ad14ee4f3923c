// File names are bytes and need not be valid UTF-8; these turn them into text for screens and
// logs without losing track of which bytes were not text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillo::files {

// Length of the well-formed UTF-8 sequence starting at s[i] (1 for ASCII), or 0 when no valid
// sequence starts there (stray continuation, overlong form, surrogate, above U+10FFFF, cut short).
std::size_t utf8SequenceLength(std::string_view s, std::size_t i);

// Text for display: every byte that is not part of valid UTF-8 becomes `replacement`; with
// `replaceControls`, so do C0 controls, DEL and C1 controls (a terminal takes those as commands).
std::string displayText(std::string_view bytes, std::string_view replacement = "\xEF\xBF\xBD",
                        bool replaceControls = false);

// Text for display that keeps every byte told apart: valid UTF-8 stays as it is, and every byte
// that is not part of it is written "\xE9" (as file managers show such names), so two names that
// differ only in such bytes never read the same. With `escapeControls`, C0 controls and DEL are
// written that way too (a log line must stay one line).
std::string escapedText(std::string_view bytes, bool escapeControls = false);

// Text that an XML property list can carry and give back unchanged: valid UTF-8, no C0 control
// but tab and line feed (and carriage return when allowed), and neither U+FFFE nor U+FFFF.
bool isXmlText(std::string_view s, bool allowCarriageReturn);

}  // namespace quillo::files
