#include "util/StringsFile.h"

#include <optional>
#include <set>

namespace quillo::util {

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    StringsFileContent read() {
        StringsFileContent result;
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
        std::set<std::string, std::less<>> seen;
        while (true) {
            keepComments_ = true;
            const bool skipped = skipSpaceAndComments();
            keepComments_ = false;
            if (!skipped) return fail(result);
            if (atEnd()) break;
            size_t entryLine = line_;
            auto key = quoted();
            if (!key) return fail(result);
            if (!skipSpaceAndComments()) return fail(result);
            if (!expect('=')) return fail(result);
            if (!skipSpaceAndComments()) return fail(result);
            auto text = quoted();
            if (!text) return fail(result);
            if (!skipSpaceAndComments()) return fail(result);
            if (!expect(';')) return fail(result);
            if (!seen.insert(*key).second) {
                error_ = "line " + std::to_string(entryLine) + ": key \"" + *key + "\" given twice";
                return fail(result);
            }
            result.entries.push_back({std::move(*key), std::move(*text), comment_});
        }
        return result;
    }

private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek(size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
    }
    void advance() {
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
    }

    StringsFileContent fail(StringsFileContent& result) {
        result.entries.clear();
        result.error = error_;
        return std::move(result);
    }
    bool setError(const std::string& what) {
        error_ = "line " + std::to_string(line_) + ": " + what;
        return false;
    }

    bool skipSpaceAndComments() {
        int newlines = 0;
        while (!atEnd()) {
            char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                // A blank line ends a group: its comment does not speak of the entries after it.
                if (c == '\n' && ++newlines == 2 && keepComments_) comment_.clear();
                advance();
            } else if (c == '/' && peek(1) == '*') {
                size_t startLine = line_;
                pos_ += 2;
                const size_t start = pos_;
                while (!atEnd() && !(peek() == '*' && peek(1) == '/')) advance();
                if (atEnd()) {
                    line_ = startLine;
                    return setError("comment is not closed");
                }
                if (keepComments_) comment_ = joinedLines(text_.substr(start, pos_ - start));
                pos_ += 2;
                newlines = 0;
            } else if (c == '/' && peek(1) == '/') {
                while (!atEnd() && peek() != '\n') advance();
            } else {
                break;
            }
        }
        return true;
    }

    static std::string joinedLines(std::string_view comment) {
        std::string out;
        bool space = false;
        for (char c : comment) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                space = !out.empty();
                continue;
            }
            if (space) out += ' ';
            space = false;
            out += c;
        }
        return out;
    }

    bool expect(char wanted) {
        if (atEnd()) return setError(std::string("'") + wanted + "' expected at end of file");
        if (peek() != wanted) return setError(std::string("'") + wanted + "' expected");
        advance();
        return true;
    }

    static void appendUtf8(std::string& out, char32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    std::optional<char32_t> hex4() {
        char32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = peek();
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0) {
                setError("\\u needs four hex digits");
                return std::nullopt;
            }
            value = value * 16 + char32_t(digit);
            advance();
        }
        return value;
    }

    // A \uXXXX escape; a surrogate pair written as two escapes makes one character.
    bool unicodeEscape(std::string& out) {
        auto first = hex4();
        if (!first) return false;
        char32_t cp = *first;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (peek() != '\\' || peek(1) != 'u') return setError("lone surrogate in \\u escape");
            pos_ += 2;
            auto second = hex4();
            if (!second) return false;
            if (*second < 0xDC00 || *second > 0xDFFF) return setError("lone surrogate in \\u escape");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*second - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return setError("lone surrogate in \\u escape");
        }
        appendUtf8(out, cp);
        return true;
    }

    std::optional<std::string> quoted() {
        if (atEnd()) {
            setError("quoted text expected at end of file");
            return std::nullopt;
        }
        if (peek() != '"') {
            setError("quoted text expected");
            return std::nullopt;
        }
        size_t startLine = line_;
        advance();
        std::string out;
        while (true) {
            if (atEnd()) {
                line_ = startLine;
                setError("quoted text is not closed");
                return std::nullopt;
            }
            char c = peek();
            advance();
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd()) continue;  // reported as not closed on the next turn
            char e = peek();
            advance();
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '\'': out += '\''; break;
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'u':
                case 'U':
                    if (!unicodeEscape(out)) return std::nullopt;
                    break;
                default:
                    setError(std::string("unknown escape \\") + e);
                    return std::nullopt;
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    size_t line_ = 1;
    std::string error_;
    bool keepComments_ = false;
    std::string comment_;
};

}  // namespace

std::string catalogContext(std::string_view table, std::string_view key) {
    if (table.empty() || table == "Localizable") return std::string(key);
    std::string context(table);
    context += ':';
    context += key;
    return context;
}

StringsFileContent parseStringsFile(std::string_view content) {
    return Reader(content).read();
}

}  // namespace quillo::util
