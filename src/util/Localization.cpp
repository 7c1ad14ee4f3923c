#include "util/Localization.h"

#include "util/LocalizationTables.h"
#include "util/StringsFile.h"

#include <unicode/locid.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quillo::util {

namespace {

const detail::LocalizedTable* findTable(std::string_view name) {
    if (name == "Localizable") name = {};
    for (std::size_t i = 0; i < detail::kLocalizedTableCount; ++i)
        if (detail::kLocalizedTables[i].name == name) return &detail::kLocalizedTables[i];
    return nullptr;
}

// Shared by both overloads: `arg(i)` gives the i-th argument (from 0), `count` how many exist.
template <typename Arg>
std::string substitute(std::string_view format, std::size_t count, Arg arg) {
    std::string out;
    out.reserve(format.size() + 16 * count);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            ++i;
            continue;
        }
        char d = format[i + 1];
        if (d == '@') {
            if (next < count) out += arg(next);
            ++next;
            i += 2;
            continue;
        }
        if (d == '%') {
            out += '%';
            i += 2;
            continue;
        }
        // Positional slot: %N$@
        std::size_t j = i + 1;
        std::size_t position = 0;
        while (j < format.size() && format[j] >= '0' && format[j] <= '9' && position < 1000) {
            position = position * 10 + std::size_t(format[j] - '0');
            ++j;
        }
        if (j > i + 1 && position > 0 && j + 1 < format.size() && format[j] == '$' &&
            format[j + 1] == '@') {
            if (position <= count) out += arg(position - 1);
            i = j + 2;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

// A compiled gettext catalog (.mo), read whole: context "\4" msgid -> msgstr. Only the first
// form of a plural entry is kept; counts are ICU plural patterns inside one text.
class Catalog {
public:
    static std::unique_ptr<Catalog> read(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat st {};
        auto catalog = std::make_unique<Catalog>();
        bool ok = ::fstat(fd, &st) == 0 && st.st_size >= 28 && st.st_size < (64 << 20);
        if (ok) {
            catalog->bytes_.resize(std::size_t(st.st_size));
            std::size_t done = 0;
            while (ok && done < catalog->bytes_.size()) {
                const ssize_t n = ::read(fd, catalog->bytes_.data() + done, catalog->bytes_.size() - done);
                ok = n > 0;
                if (ok) done += std::size_t(n);
            }
        }
        ::close(fd);
        if (!ok || !catalog->index()) return nullptr;
        return catalog;
    }

    std::string_view find(std::string_view context, std::string_view english) const {
        std::string key;
        key.reserve(context.size() + 1 + english.size());
        key.append(context).append(1, '\4').append(english);
        auto it = messages_.find(key);
        return it == messages_.end() ? std::string_view() : it->second;
    }

private:
    uint32_t word(std::size_t at) const {
        uint32_t w;
        std::memcpy(&w, bytes_.data() + at, 4);
        return swapped_ ? __builtin_bswap32(w) : w;
    }

    // A string of the table at `table`, entry `i`: its length and offset, checked against the file.
    bool string(uint32_t table, uint32_t i, std::string_view& out) const {
        const std::size_t at = std::size_t(table) + std::size_t(i) * 8;
        if (at + 8 > bytes_.size()) return false;
        const uint32_t length = word(at), offset = word(at + 4);
        if (std::size_t(offset) + length >= bytes_.size()) return false;  // the NUL must be there too
        out = std::string_view(bytes_.data() + offset, length);
        return true;
    }

    bool index() {
        const uint32_t magic = word(0);
        if (magic == 0xde120495) swapped_ = true;
        else if (magic != 0x950412de) return false;
        const uint32_t count = word(8), originals = word(12), translations = word(16);
        for (uint32_t i = 0; i < count; ++i) {
            std::string_view original, translation;
            if (!string(originals, i, original) || !string(translations, i, translation)) return false;
            if (original.empty()) continue;  // the header
            original = original.substr(0, original.find('\0'));
            translation = translation.substr(0, translation.find('\0'));
            if (!translation.empty()) messages_.emplace(original, translation);
        }
        return true;
    }

    std::string bytes_;
    bool swapped_ = false;
    std::unordered_map<std::string_view, std::string_view> messages_;
};

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// The folders that may hold LANG/LC_MESSAGES/quillo.mo, in the order they are tried.
std::vector<std::string> catalogFolders() {
    std::vector<std::string> folders;
    const std::string own = variable("QUILLO_LOCALEDIR");
    if (!own.empty()) folders.push_back(own);
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, std::size_t(n));
        for (int up = 0; up < 3; ++up) {
            dir = dir.substr(0, dir.rfind('/'));
            if (up > 0) folders.push_back(dir + "/share/locale");
        }
    }
#ifdef QUILLO_INSTALLED_LOCALEDIR
    folders.push_back(QUILLO_INSTALLED_LOCALEDIR);
#endif
    return folders;
}

// The catalogs for the environment's languages, in the order gettext would try them, with the
// language each is for. Every catalog read is kept: the texts handed out point into it.
struct Languages {
    std::vector<const Catalog*> catalogs;
    std::string first;  // the language of the first catalog
};

const Languages& currentLanguages() {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Catalog>> catalogs;  // by path; null: none there
    static std::map<std::string, Languages> byEnvironment;

    std::string locale = variable("LC_ALL");
    if (locale.empty()) locale = variable("LC_MESSAGES");
    if (locale.empty()) locale = variable("LANG");
    locale = locale.substr(0, locale.find('.'));
    const std::string list = variable("LANGUAGE");
    const std::string environment = locale + '\n' + list + '\n' + variable("QUILLO_LOCALEDIR");

    std::lock_guard<std::mutex> lock(mutex);
    auto known = byEnvironment.find(environment);
    if (known != byEnvironment.end()) return known->second;

    Languages languages;
    if (!locale.empty() && locale != "C" && locale != "POSIX") {
        std::vector<std::string> names;
        std::string wanted = list.empty() ? locale : list;
        for (std::size_t start = 0; start <= wanted.size();) {
            std::size_t colon = wanted.find(':', start);
            if (colon == std::string::npos) colon = wanted.size();
            std::string name = wanted.substr(start, colon - start);
            start = colon + 1;
            name = name.substr(0, name.find('.'));
            if (name.empty()) continue;
            // "pt_BR@x" -> pt_BR@x, pt_BR, pt: a catalog for the language serves every country.
            const std::string plain = name.substr(0, name.find('@'));
            for (const std::string& n : {name, plain, plain.substr(0, plain.find('_'))})
                if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
        }
        const std::vector<std::string> folders = catalogFolders();
        for (const std::string& name : names) {
            for (const std::string& folder : folders) {
                const std::string path = folder + "/" + name + "/LC_MESSAGES/quillo.mo";
                auto it = catalogs.find(path);
                if (it == catalogs.end()) it = catalogs.emplace(path, Catalog::read(path)).first;
                if (!it->second) continue;
                if (languages.catalogs.empty()) languages.first = name;
                languages.catalogs.push_back(it->second.get());
                break;
            }
        }
    }
    return byEnvironment.emplace(environment, std::move(languages)).first->second;
}

}  // namespace

std::string_view englishText(std::string_view key, std::string_view table) {
    const detail::LocalizedTable* found = findTable(table);
    if (!found || found->count == 0) return key;
    const detail::LocalizedEntry* begin = found->entries;
    const detail::LocalizedEntry* end = begin + found->count;
    auto it = std::lower_bound(begin, end, key,
                               [](const detail::LocalizedEntry& e, std::string_view k) { return e.key < k; });
    if (it != end && it->key == key) return it->text;
    return key;
}

std::string_view localizedText(std::string_view key, std::string_view table) {
    const std::string_view english = englishText(key, table);
    if (english.data() == key.data()) return key;  // no such entry: no translation either
    const Languages& languages = currentLanguages();
    if (languages.catalogs.empty()) return english;
    const std::string context = catalogContext(table, key);
    for (const Catalog* catalog : languages.catalogs)
        if (std::string_view text = catalog->find(context, english); !text.empty()) return text;
    return english;
}

std::string RNMessagesLanguage() { return currentLanguages().first; }

bool RNMessagesAreRightToLeft() {
    const std::string language = RNMessagesLanguage();
    return !language.empty() && icu::Locale(language.c_str()).isRightToLeft();
}

std::string RNIsolated(std::string_view name) {
    if (name.empty() || !RNMessagesAreRightToLeft()) return std::string(name);
    return "\u2068" + std::string(name) + "\u2069";
}

std::string RNWithoutIsolates(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "\u2068") == 0 || text.compare(i, 3, "\u2069") == 0) {
            i += 2;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string RNLocalizedString(std::string_view key, std::string_view table) {
    return std::string(localizedText(key, table));
}

std::string RNFormat(std::string_view format, std::initializer_list<std::string_view> args) {
    const std::string_view* data = args.begin();
    return substitute(format, args.size(), [data](std::size_t i) { return data[i]; });
}

std::string RNFormat(std::string_view format, std::span<const std::string> args) {
    return substitute(format, args.size(), [args](std::size_t i) -> std::string_view { return args[i]; });
}

}  // namespace quillo::util
