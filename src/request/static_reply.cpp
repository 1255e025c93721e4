#include "request/static_reply.h"

#include "common/fixed_text.h"
#include "dispatch/send.h"
#include "platform/conventions.h"
#include "platform/file.h"
#include "request/request_context.h"
#include "startup/server_settings.h"

#include <cinttypes>

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// The one place that decides whether the mapped part of a URL may reach the
// file system. Rules of a platform whose file system gives special meaning to
// more names (drive colons, device names) join the dot-dot test here.
bool mapped_part_refused(std::string_view mapped, const ServerSettings& settings) {
    // The extension selection is off while CGIDIR begins with "PROTECT".
    bool scripts_selected = text_of(settings.CGIDIR).substr(0, 7) != "PROTECT";
    return has_dot_dot_segment(mapped) || platform::mapped_path_reserved(mapped, scripts_selected);
}

} // namespace

bool has_dot_dot_segment(std::string_view mapped) {
    std::size_t segment_start = 0;
    for (std::size_t i = 0; i <= mapped.size(); ++i) {
        if (i < mapped.size() && !is_separator(mapped[i]))
            continue;
        if (mapped.substr(segment_start, i - segment_start) == "..")
            return true;
        segment_start = i + 1;
    }
    return false;
}

void map_local_path(RequestContext &context, const ServerSettings &settings) {
    std::string_view url = text_of(context.url);
    // The first character is dropped whatever it is: the '/' of an ordinary
    // request, but the 'i' of "index.html".
    std::string_view rest = url.empty() ? url : url.substr(1);
    std::string_view mapped = rest.substr(0, rest.find('?'));

    context.path_refused = mapped_part_refused(mapped, settings);
    std::string_view root = text_of(settings.WEBROOT);
    bool fits = format_into(context.local_path, "%.*s%c", static_cast<int>(root.size()),
                            root.data(), platform::path_separator);
    std::size_t used = text_of(context.local_path).size();
    for (char c : rest) {
        if (!fits || used + 1 >= context.local_path.size()) {
            fits = false;
            break;
        }
        context.local_path[used++] = c == '/' ? platform::path_separator : c;
    }
    context.local_path[used] = '\0';
    // Only the part in front of the '?' reaches the file system; a query cut
    // off here is cut off anyway before anything reads the path. A path that
    // does not fit whole is refused rather than served cut.
    std::size_t path_length = root.size() + 1 + mapped.size();
    if (path_length >= context.local_path.size())
        context.path_refused = true;
}

void cut_at_question_mark(std::span<char> field) {
    std::string_view text = text_of(field);
    std::size_t mark = text.find('?');
    if (mark != std::string_view::npos)
        field[mark] = '\0';
}

std::size_t format_reply_head(std::span<char> head, std::int64_t length) {
    (void)format_into(
        head, "HTTP/1.0 200 OK\r\nContent-Length: %" PRId64 "\r\nConnection: Keep-Alive\r\n",
        length);
    return text_of(head).size();
}

ContentClass content_class(std::string_view local_path) {
    if (local_path.size() < 2)
        return ContentClass::text;
    std::size_t dot = local_path.rfind('.');
    if (dot == std::string_view::npos || local_path.substr(dot).starts_with(".html"))
        return ContentClass::text;
    return ContentClass::image;
}

void send_not_found(RequestContext &context) {
    if (!context.ticket.cancelled)
        (void)send_text(context.ticket, not_found_text);
    (void)copy_into(context.status_text, not_found_text);
}

void send_static_reply(RequestContext &context) {
    if (context.ticket.cancelled)
        return;
    if (context.path_refused) {
        send_not_found(context);
        return;
    }
    std::uint64_t size = 0;
    platform::File file = platform::open_regular_file(context.local_path.data(), size);
    if (!file.valid()) {
        send_not_found(context);
        return;
    }

    // The head and the content-type line are both our own bytes, so they leave
    // in one piece; the body then streams from the file in constant memory,
    // and a short one goes out in the same packet as the head.
    format_reply_head(context.work_text, static_cast<std::int64_t>(size));
    bool is_text = content_class(text_of(context.local_path)) == ContentClass::text;
    (void)append_into(context.work_text, is_text ? text_content_type : image_content_type);
    platform::MoreFollows more = size > 0 ? platform::MoreFollows::yes : platform::MoreFollows::no;
    if (send_text(context.ticket, text_of(context.work_text), more) != 0)
        return;
    // A file that shrinks while it is sent leaves the connection short of the
    // announced length: the client sees a cut reply, never padding. Nothing
    // more can be done for this connection, so the result is not examined.
    (void)platform::send_file(context.ticket.socket, file, size, context.ticket.deadline);
}
