#include "velkin/mime.h"

#include "velkin/string.h"

namespace vornic::velkin::mime {

MimeType::MimeType(std::initializer_list<std::pair<std::string_view, std::string_view>> entries) {
    for (const auto& [ext, content_type] : entries) {
        insert(ext, content_type);
    }
}

MimeType MimeType::common() {
    return MimeType{
        {"html", "text/html"},      {"htm", "text/html"},       {"js", "text/javascript"},
        {"mjs", "text/javascript"}, {"css", "text/css"},        {"json", "application/json"},
        {"txt", "text/plain"},      {"xml", "application/xml"}, {"png", "image/png"},
        {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},     {"gif", "image/gif"},
        {"svg", "image/svg+xml"},   {"ico", "image/x-icon"},    {"wasm", "application/wasm"},
        {"woff2", "font/woff2"},
    };
}

void MimeType::insert(std::string_view ext, std::string_view content_type) {
    types_.insert_or_assign(string::to_lower(ext), std::string(content_type));
}

std::optional<std::string> MimeType::from_file_ext(std::string_view ext) const {
    const auto found = types_.find(string::to_lower(ext));
    if (found == types_.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace vornic::velkin::mime
