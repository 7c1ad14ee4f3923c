// The request the application sends to the privileged helper, as an XML property list.
//
// Paths are bytes. A path that is valid UTF-8 without the control characters XML forbids goes
// as a <string>; any other path goes as <data> holding its bytes, so that a trashed file named
// "bad\xff" reaches the helper unchanged. The decoder takes either form.
#pragma once

#include "common/HelperBus.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::common {

inline constexpr char kUnlockItemsKey[] = "unlockItems";
inline constexpr char kPermissionsItemsKey[] = "permissionsItems";
inline constexpr char kNotTrashedBecauseFolderNotEmptyKey[] = "notTrashedBecauseFolderNotEmpty";
inline constexpr char kErasedSizeKey[] = "erasedSize";
inline constexpr char kErasedCountKey[] = "erasedCount";
// A restore's hand-over (restoreWithAuthorization): items of the caller's trash to unlock, restored
// items to lock again, and folders to move out of the trash to the destination at the same index.
inline constexpr char kRestoreUnlockItemsKey[] = "restoreUnlockItems";
inline constexpr char kRestoreLockItemsKey[] = "restoreLockItems";
inline constexpr char kRestoreMoveItemsKey[] = "restoreMoveItems";
inline constexpr char kRestoreMoveDestinationsKey[] = "restoreMoveDestinations";

// Larger requests are refused before parsing: the helper parses as root.
inline constexpr std::size_t kMaxHelperRequestBytes = 64u << 20;
// A request is <plist><dict><array><string> deep (four levels); an element deeper than this level
// is refused. The margin leaves room for keys the decoder ignores. The reader keeps its open
// elements in a fixed array, so no depth reaches the stack.
inline constexpr std::size_t kMaxHelperRequestNesting = 8;

// Paths one after another in one buffer: a request of millions of short paths costs their bytes
// and four bytes each, not a string object per path. Entries are read as string_views, which
// stay valid until the list is changed.
class PathList {
public:
    PathList() = default;
    PathList(std::initializer_list<std::string_view> paths);
    PathList(const std::vector<std::string>& paths);  // NOLINT: a list of paths is a PathList

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }
    // False (and nothing added) when the list would pass 4 GiB of path bytes.
    bool push_back(std::string_view path);
    void reserve(std::size_t paths) { ends_.reserve(paths); }
    void clear();
    // The bytes of all paths together.
    std::size_t byteSize() const { return bytes_.size(); }
    std::vector<std::string> toVector() const;

    class const_iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const PathList* list, std::size_t i) : list_(list), i_(i) {}
        std::string_view operator*() const { return (*list_)[i_]; }
        const_iterator& operator++() { ++i_; return *this; }
        const_iterator operator++(int) { const_iterator old = *this; ++i_; return old; }
        bool operator==(const const_iterator& o) const { return i_ == o.i_; }

    private:
        const PathList* list_ = nullptr;
        std::size_t i_ = 0;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    bool operator==(const PathList& o) const { return ends_ == o.ends_ && bytes_ == o.bytes_; }
    friend bool operator==(const PathList& a, const std::vector<std::string>& b);
    friend void PrintTo(const PathList& list, std::ostream* out);

private:
    std::string bytes_;
    std::vector<uint32_t> ends_;  // where each path ends in bytes_
};

struct HelperRequest {
    PathList unlockItems;       // locked items the user could not unlock
    PathList permissionsItems;  // items the user's rights could not remove
    PathList notTrashedBecauseFolderNotEmpty;  // folders left non-empty
    uint64_t erasedSize = 0;   // bytes the application erased before the hand-over
    uint64_t erasedCount = 0;  // items the application erased before the hand-over
    PathList restoreUnlockItems;       // trashed items to unlock before they are put back
    PathList restoreLockItems;         // put-back items to lock again where they now are
    PathList restoreMoveItems;         // trashed folders the user's rights cannot move ...
    PathList restoreMoveDestinations;  // ... and where each goes

    bool operator==(const HelperRequest&) const = default;
};

// The XML property list (version 1.0). Empty arrays are left out; the two totals are always
// written. nullopt only when the property-list library fails to write.
std::optional<std::string> encodeHelperRequest(const HelperRequest& request);

// Decodes a request. Anything but an XML property list whose root is a dictionary with the keys
// above in their types is an error (Domain PropertyList), never a crash. Missing arrays are
// empty, missing totals 0; other keys are ignored.
//
// The reader takes the plain form the encoder writes and nothing more: the XML declaration and
// the property-list document type exactly as written, <plist> with at most its version, then
// elements without attributes, text with the five named character references, and
// no comment, CDATA section, processing instruction or other markup. It reads in one pass with
// no recursion, and its memory is the request's paths and four bytes per path.
std::optional<HelperRequest> decodeHelperRequest(std::string_view bytes, HelperError* error = nullptr);

// True when `s` can travel as a property-list <string> and come back byte for byte.
bool isPropertyListText(std::string_view s);

}  // namespace quillo::common
