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

// Builds one JSON object, key by key.
class JsonObject {
public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value) { return add(key, std::string_view(value)); }
    JsonObject& add(std::string_view key, uint64_t value);
    JsonObject& add(std::string_view key, double value);
    JsonObject& add(std::string_view key, bool value);
    std::string str() const { return "{" + body_ + "}"; }

private:
    JsonObject& raw(std::string_view key, const std::string& value);
    std::string body_;
};

}  // namespace quillo::cli
