#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

class CHeaderParser;

// Header bytes are not always UTF-8: each byte becomes the code point of the same
// value (Latin-1), so nothing is lost or rejected.
std::string latin1ToUtf8(std::string_view bytes);

// The parse of one message text as a JSON object.
nlohmann::json parseToJson(std::string_view text);
