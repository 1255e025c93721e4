// Takes the input as the received bytes of a request and runs them through
// every step of a request that needs no socket: the head's end and declared
// length, the request line, the form data, the local path and the access line.
// Besides the sanitizers' checks, it holds the steps to the limits the rest of
// the server relies on: every field stays terminated, and the access line is
// one physical line within its limit.

#include "common/fixed_text.h"
#include "logging/access_record.h"
#include "request/form_decoding.h"
#include "request/request_context.h"
#include "request/request_head.h"
#include "request/static_reply.h"
#include "startup/server_settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace {

ServerSettings settings_with_root(std::string_view root) {
    ServerSettings settings{};
    (void)copy_into(settings.WEBROOT, root);
    return settings;
}

// A short document directory, and one as long as the setting holds, so that
// paths meet the end of local_path.
const ServerSettings short_root = settings_with_root("htdocs");
const ServerSettings long_root = settings_with_root(std::string(setting_text_size - 1, 'w'));

void require_terminated(std::span<const char> field) {
    if (std::memchr(field.data(), '\0', field.size()) == nullptr)
        __builtin_trap();
}

void compose_access_line(RequestContext &context) {
    begin_request_line(context.access_record, context.peer_octets, text_of(context.method));
    append_client_text(context.access_record, text_of(context.local_path));
    append_text(context.access_record, "[");
    append_client_text(context.access_record, text_of(context.url));
    append_text(context.access_record, "] ");
    append_client_text(context.access_record, text_of(context.decoded_body));
    append_client_text(context.access_record, text_of(context.query));

    std::array<char, access_line_limit + 1> line{};
    std::string_view finished = finish_access_line(context.access_record, not_found_text, line);
    if (finished.size() > access_line_limit)
        __builtin_trap();
    for (char c : finished) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ConnectionTicket ticket;
    RequestContext context(ticket);
    context.peer_octets = {127, 0, 0, 1};
    std::size_t received = std::min(size, request_head_size - 1);
    std::memcpy(context.request_head.data(), data, received);
    context.received_total = static_cast<int>(received);

    std::span<const char> head(context.request_head.data(), received);
    std::optional<std::size_t> end = head_end(head);
    if (end && *end > received)
        __builtin_trap();
    (void)declared_content_length(text_of(context.request_head));

    (void)split_request_line(context);
    require_terminated(context.method);
    require_terminated(context.url);
    require_terminated(context.protocol);

    extract_body(context);
    extract_query(context);
    require_terminated(context.raw_body);
    require_terminated(context.decoded_body);
    require_terminated(context.query);

    for (const ServerSettings *settings : {&long_root, &short_root}) {
        context.path_refused = false;
        map_local_path(context, *settings);
        require_terminated(context.local_path);
    }
    cut_at_question_mark(context.local_path);
    (void)content_class(text_of(context.local_path));

    compose_access_line(context);
    return 0;
}
