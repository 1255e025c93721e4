#include "common/fixed_text.h"
#include "dispatch/listener.h"
#include "logging/write_log.h"
#include "platform/console.h"
#include "platform/conventions.h"
#include "platform/process.h"
#include "request/serve_connection.h"
#include "startup/server_settings.h"
#include "startup/settings_path.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace {

// The banners are Shift_JIS bytes: "has started" and "has ended". Each carries
// its own line feed, so its log record ends in "\n\r\n".
constexpr std::string_view start_banner =
    " Tevrano-Brakka-WWWServer1.2 \x8B\x4E\x93\xAE\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n";
constexpr std::string_view stop_banner =
    " Tevrano-Brakka-WWWServer1.2 \x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n";

// The settings file lies beside the registered service's executable, else in
// the current directory. Returns false when its path cannot be formed.
bool locate_settings_file(std::span<char> settings_path) {
    if (std::optional<std::string> image_path = platform::service_image_path())
        return compose_service_settings_path(settings_path, *image_path, platform::path_separator);
    // A directory that cannot be had within its limit counts as empty, which
    // leaves the file name alone below the root.
    std::array<char, settings_directory_size> directory{};
    if (!platform::current_directory(directory))
        clear_text(directory);
    return compose_settings_path(settings_path, text_of(directory), platform::path_separator);
}

ServerSettings read_settings() {
    std::array<char, settings_path_size> settings_path{};
    if (!locate_settings_file(settings_path))
        return default_settings();
    return read_settings_file(settings_path.data());
}

// The operator ends a server whose listener failed with 'q'; every other byte
// is skipped. With nobody left to type it, end of input counts as 'q'.
void wait_for_quit() {
    for (;;) {
        int c = platform::console_read_char();
        if (c == 'q' || c < 0)
            return;
    }
}

} // namespace

int main() {
    install_settings(read_settings());
    set_free_slots(server_settings().MAXTHREAD);
    if (!platform::prepare_process()) {
        platform::error_write("Fatal Error: MFC initialization failed\n");
        return 1;
    }
    write_log(start_banner);
    // Returns only when the listener could not start; it has told the
    // operator why.
    (void)start_listener(serve_connection);
    wait_for_quit();
    write_log(stop_banner);
    (void)stop_listener();
    return 0;
}
