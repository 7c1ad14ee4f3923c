// Build-time tool: the translators' template (gettext .pot) of the localization tables. Each
// entry's context is its key (see catalogContext), its msgid the English text, and the comment
// above its group in the resource file is the note the translators read with it.
//
//   quillo_strings_pot [--pseudo] OUTPUT.pot KEEP_ENGLISH NAME=FILE.strings [NAME=FILE.strings ...]
//
// With --pseudo it writes instead the catalog of the pseudo-language "qps" used to test the
// layout: every text 40 % longer and in brackets, so that a label cut off or a text built from
// pieces shows at a glance.
//
// KEEP_ENGLISH lists keys (one a line, '#' starts a comment) whose text is never translated:
// the log's formats and folder names, which stay the same in every language so that the logs
// can be read by scripts and compared across machines.

#include "util/StringsFile.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

namespace {

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return !in.bad();
}

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

// A PO string: one line, or, for a text with line feeds, "" and then one line per line.
std::string poString(const std::string& text) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string::npos || feed + 1 == text.size()) return "\"" + escaped(text) + "\"";
    std::string out = "\"\"";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        out += "\n\"" + escaped(std::string_view(text).substr(start, end - start)) + "\"";
        start = end;
    }
    return out;
}

// About how many characters a message shows: its text, an argument as a few characters, and of
// a plural or select argument its longest branch (not the pattern's own syntax, which would
// make a count text look twice as long as it is). Reads from `at` up to an unmatched '}'.
std::size_t shownLength(const std::string& text, std::size_t& at) {
    std::size_t length = 0;
    while (at < text.size() && text[at] != '}') {
        const char c = text[at];
        if (c != '{') {
            length += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            ++at;
            continue;
        }
        const std::size_t close = text.find_first_of("{}", at + 1);
        const std::string header = text.substr(at + 1, close == std::string::npos ? std::string::npos : close - at - 1);
        const bool choice = header.find("plural") != std::string::npos || header.find("select") != std::string::npos;
        if (!choice || close == std::string::npos || text[close] != '{') {
            length += 4;  // {size}, {done, number}: a short value
            at = close == std::string::npos ? text.size() : close + 1;
            continue;
        }
        // Branches: "selector {message}" until the argument's '}'.
        std::size_t longest = 0;
        at = close;
        while (at < text.size() && text[at] == '{') {
            ++at;
            longest = std::max(longest, shownLength(text, at));
            ++at;  // the branch's '}'
            while (at < text.size() && text[at] != '{' && text[at] != '}') ++at;  // the next selector
        }
        ++at;  // the argument's '}'
        length += longest;
    }
    return length;
}

// The pseudo-translation: "[Empty Trash~~~~]". Brackets and padding go outside every brace, so
// an ICU pattern stays one; addresses stay usable; a final line feed stays last.
std::string pseudo(const std::string& text) {
    if (text.rfind("mailto:", 0) == 0 || text.rfind("http", 0) == 0) return text;
    std::string body = text, end;
    while (!body.empty() && body.back() == '\n') {
        body.pop_back();
        end += '\n';
    }
    std::size_t at = 0;
    const std::size_t characters = shownLength(body, at);
    return "[" + body + std::string((characters * 4 + 9) / 10, '~') + "]" + end;
}

}  // namespace

int main(int argc, char** argv) {
    const bool pseudoLanguage = argc > 1 && std::string(argv[1]) == "--pseudo";
    if (pseudoLanguage) {
        --argc;
        ++argv;
    }
    if (argc < 4) {
        std::cerr << "usage: " << argv[0] << " [--pseudo] OUTPUT.pot KEEP_ENGLISH NAME=FILE.strings ...\n";
        return 2;
    }
    std::string keepText;
    if (!readFile(argv[2], keepText)) {
        std::cerr << argv[2] << ": cannot read\n";
        return 1;
    }
    std::set<std::string> keep;
    std::istringstream lines(keepText);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find('#'));
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos) keep.insert(line.substr(start));
    }

    std::ostringstream pot;
    pot << "# The texts of Quillo for translators. Generated from resources/localization, the desktop\n"
           "# entry, the AppStream metadata and the helper's polkit action by the build target \"pot\";\n"
           "# see po/README.\n"
           "msgid \"\"\n"
           "msgstr \"\"\n"
           "\"Project-Id-Version: quillo\\n\"\n"
           "\"Report-Msgid-Bugs-To: https://github.com/quillo-app/quillo/issues\\n\"\n"
        << (pseudoLanguage ? "\"PO-Revision-Date: 2026-01-01 00:00+0000\\n\"\n"
                             "\"Last-Translator: the build\\n\"\n"
                             "\"Language-Team: none\\n\"\n"
                             "\"Language: qps\\n\"\n"
                           : "\"Language: \\n\"\n")
        << "\"MIME-Version: 1.0\\n\"\n"
        << "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
        << "\"Content-Transfer-Encoding: 8bit\\n\"\n";
    std::set<std::string> kept;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos) {
            std::cerr << "argument without NAME=: " << arg << "\n";
            return 2;
        }
        const std::string table = arg.substr(0, eq), path = arg.substr(eq + 1);
        std::string content;
        if (!readFile(path, content)) {
            std::cerr << path << ": cannot read\n";
            return 1;
        }
        const auto parsed = quillo::util::parseStringsFile(content);
        if (!parsed.ok()) {
            std::cerr << path << ": " << parsed.error << "\n";
            return 1;
        }
        for (const auto& entry : parsed.entries) {
            const std::string context = quillo::util::catalogContext(table, entry.key);
            if (keep.count(context)) {
                kept.insert(context);
                continue;
            }
            pot << "\n";
            if (!entry.comment.empty()) pot << "#. " << entry.comment << "\n";
            pot << "msgctxt " << poString(context) << "\n"
                << "msgid " << poString(entry.text) << "\n"
                << "msgstr " << (pseudoLanguage ? poString(pseudo(entry.text)) : "\"\"") << "\n";
        }
    }
    // A key left in the list after its entry is gone would silently hide a new entry of that name.
    for (const auto& key : keep)
        if (!kept.count(key)) {
            std::cerr << argv[2] << ": \"" << key << "\" is in no table\n";
            return 1;
        }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << pot.str();
    return out ? 0 : 1;
}
