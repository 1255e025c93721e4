#include "startup/settings_path.h"

#include "common/fixed_text.h"

namespace {

constexpr std::string_view settings_file_name = "vostrel.ini";

bool append_file_name(std::span<char> settings_path, char separator) {
    const char separator_text[] = {separator, '\0'};
    return append_into(settings_path, separator_text) &&
           append_into(settings_path, settings_file_name);
}

} // namespace

bool compose_settings_path(std::span<char> settings_path, std::string_view directory,
                           char separator) {
    clear_text(settings_path);
    return append_into(settings_path, directory) && append_file_name(settings_path, separator);
}

bool compose_service_settings_path(std::span<char> settings_path, std::string_view image_path,
                                   char separator) {
    // Without quotes the path is one part; with them, the parts before and
    // after the closing quote, which are joined.
    std::string_view first = image_path;
    std::string_view second;
    if (first.starts_with('"')) {
        first.remove_prefix(1);
        std::size_t partner = first.find('"');
        if (partner != std::string_view::npos) {
            second = first.substr(partner + 1);
            first = first.substr(0, partner);
        }
    }
    if (std::size_t cut = second.rfind('\\'); cut != std::string_view::npos) {
        second = second.substr(0, cut);
    } else if (cut = first.rfind('\\'); cut != std::string_view::npos) {
        first = first.substr(0, cut);
        second = {};
    }
    clear_text(settings_path);
    return append_into(settings_path, first) && append_into(settings_path, second) &&
           append_file_name(settings_path, separator);
}
