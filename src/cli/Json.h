// A small JSON writer for the machine-readable output of quillo-cli.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillo::cli {

// A JSON string literal. File names are bytes: a byte that is not part of valid UTF-8 is written
// as the lone surrogate \uDC80-\uDCFF (the "surrogateescape" convention), so no name is lost and
// a reader can restore the exact bytes (Python: os.fsencode(json_value)).
std::string jsonString(std::string_view bytes);
void appendJsonString(std::string& out, std::string_view bytes);

// Builds one JSON object, key by key.
class JsonObject {
public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value) { return add(key, std::string_view(value)); }
    JsonObject& add(std::string_view key, uint64_t value);
    JsonObject& add(std::string_view key, double value);
    JsonObject& add(std::string_view key, bool value);
    std::string str() const;
    void appendTo(std::string& out) const;  // the same text, without a copy

private:
    JsonObject& key(std::string_view key);
    JsonObject& raw(std::string_view key, std::string_view value);
    std::string body_;  // "{" and the members so far; the closing brace is added when written
};

}  // namespace quillo::cli
