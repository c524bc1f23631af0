#pragma once
// File extension to content type.
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vornic::velkin::mime {

class MimeType {
public:
    MimeType() = default;
    MimeType(std::initializer_list<std::pair<std::string_view, std::string_view>> entries);

    // The usual types of a static web site (html, js, css, json, png, svg, ...).
    static MimeType common();

    // Stores the extension lower-cased, replacing an earlier entry.
    void insert(std::string_view ext, std::string_view content_type);
    // Case-insensitive: "HTML" finds the entry stored under "html".
    std::optional<std::string> from_file_ext(std::string_view ext) const;

private:
    std::map<std::string, std::string, std::less<>> types_;
};

}  // namespace vornic::velkin::mime
