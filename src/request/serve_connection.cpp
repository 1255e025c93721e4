#include "request/serve_connection.h"

#include "cgi/cgi_target.h"
#include "cgi/run_cgi.h"
#include "common/fixed_text.h"
#include "dispatch/send.h"
#include "logging/access_record.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "request/form_decoding.h"
#include "request/request_context.h"
#include "request/request_head.h"
#include "request/static_reply.h"
#include "startup/server_settings.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace {

constexpr std::string_view not_implemented_text = "501 Not Implemented";
constexpr std::string_view too_large_text = "413 Request Entity Too Large";
constexpr std::string_view refused_status = "  ";

// The head holds at most this many received bytes; the last byte is kept for
// the terminator.
constexpr std::size_t head_capacity = request_head_size - 1;

void take_peer_address(RequestContext& context) {
    // The address is in network byte order: its lowest-addressed byte is the
    // first octet of the dotted form.
    unsigned char bytes[4];
    std::memcpy(bytes, &context.ticket.peer_address, sizeof bytes);
    for (std::size_t i = 0; i < 4; ++i)
        context.peer_octets[i] = bytes[i];
    format_into(context.peer_text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

bool client_admitted(const RequestContext& context, const ServerSettings& settings) {
    std::string_view peer = text_of(context.peer_text);
    return address_admitted(peer, text_of(settings.ACCEPTIP_INNER)) ||
           address_admitted(peer, text_of(settings.ACCEPTIP_OUTER));
}

enum class HeadOutcome {
    complete,  // the head, and any body it declares, is in
    failed,    // the client closed, failed, or the head filled up without a blank line
    too_large, // the head declares a body that cannot fit
};

// Receives the request head in pieces of at most 1024 bytes. When the head
// declares a Content-Length, the body is received too: a browser sends head and
// body in separate pieces, and a body cut at the first piece would be corrupted
// form data. Every wait ends at the connection's deadline.
HeadOutcome receive_head(RequestContext& context, int& error_number) {
    std::optional<std::size_t> end;
    std::size_t wanted = 0;
    for (;;) {
        auto received = static_cast<std::size_t>(context.received_total);
        if (!end) {
            end = head_end({context.request_head.data(), received});
            if (end) {
                std::optional<std::uint64_t> length =
                    declared_content_length(std::string_view(context.request_head.data(), *end));
                if (!length)
                    return HeadOutcome::complete;
                if (*length > body_size - 1 || *length > head_capacity - *end)
                    return HeadOutcome::too_large;
                wanted = *end + static_cast<std::size_t>(*length);
            }
        }
        if (end && received >= wanted)
            return HeadOutcome::complete;
        if (received == head_capacity) {
            error_number = platform::error_message_too_long;
            return HeadOutcome::failed;
        }
        std::size_t room = std::min(receive_piece_size, head_capacity - received);
        int count =
            platform::receive(context.ticket.socket, {context.request_head.data() + received, room},
                              context.ticket.deadline);
        if (count <= 0) {
            error_number = -count;
            return HeadOutcome::failed;
        }
        context.received_total += count;
        context.last_received = count;
        context.request_head[static_cast<std::size_t>(context.received_total)] = '\0';
    }
}

void trace_request(const RequestContext& context) {
    // Two separate writes, as other connections' output may come between them.
    // Appended piece by piece: g++ -O3 misreads an insertion in front of a
    // temporary as an overlapping copy and fails the build.
    std::string trace = "[";
    trace += std::to_string(context.last_received);
    trace += "],";
    trace += console_safe(text_of(context.request_head));
    trace += '\n';
    platform::console_write(trace);
    std::string total = "[";
    total += std::to_string(context.received_total);
    total += "] ";
    platform::console_write(total);
}

void refuse(RequestContext& context, std::string_view reply) {
    (void)send_text(context.ticket, reply);
    copy_into(context.status_text, reply);
    begin_method_refused_line(context.access_record, context.peer_octets,
                              text_of(context.request_head));
}

void append_data(AccessRecord& record, std::span<const char> field) {
    std::string_view data = text_of(field);
    if (data.empty())
        return;
    append_text(record, "Data:");
    append_client_text(record, data);
}

// The steps of a GET or POST, in their fixed order: each sees the fields as the
// steps before it left them.
void handle_request(RequestContext& context, const ServerSettings& settings, bool url_fits) {
    extract_body(context);
    extract_query(context);
    map_local_path(context, settings);
    if (!url_fits)
        context.path_refused = true; // a cut URL is never mapped onto a file
    classify_cgi_url(context, settings);
    cut_at_question_mark(context.local_path);

    AccessRecord& record = context.access_record;
    begin_request_line(record, context.peer_octets, text_of(context.method));
    append_client_text(record, text_of(context.local_path));
    if (context.is_perl)
        build_perl_command(context);
    append_text(record, "[");
    cut_at_question_mark(context.url);
    append_client_text(record, text_of(context.url));
    append_text(record, "] ");
    append_data(record, context.decoded_body);
    append_data(record, context.query);

    if (context.cgi_refused)
        send_not_found(context); // never the static reply: it would send a script's source
    else if (is_cgi_request(context))
        run_cgi(context);
    else
        send_static_reply(context);
}

void serve(RequestContext& context) {
    const ServerSettings& settings = server_settings();
    take_peer_address(context);

    if (!client_admitted(context, settings)) {
        copy_into(context.status_text, refused_status);
        begin_refused_line(context.access_record, context.peer_octets);
        return;
    }

    int error_number = 0;
    HeadOutcome outcome = receive_head(context, error_number);
    if (outcome == HeadOutcome::failed) {
        begin_receive_failure_line(context.access_record, context.peer_octets, error_number);
        return;
    }
    trace_request(context);
    if (outcome == HeadOutcome::too_large) {
        refuse(context, too_large_text);
        return;
    }

    RequestLineFit fit = split_request_line(context);
    std::string_view method = text_of(context.method);
    if (fit == RequestLineFit::method_too_long || (method != "GET" && method != "POST")) {
        refuse(context, not_implemented_text);
        return;
    }
    handle_request(context, settings, fit != RequestLineFit::url_too_long);
}

// An overdue handler has been cancelled by its worker, or is about to be: it
// sends and logs nothing more.
bool overdue(const ConnectionTicket& ticket) {
    return ticket.cancelled.load() || Clock::now() >= ticket.deadline;
}

} // namespace

void serve_connection(ConnectionTicket& ticket) {
    // The record is large but fixed; it lives on this thread's stack for the
    // connection's whole life.
    RequestContext context(ticket);
    try {
        serve(context);
    } catch (const std::exception&) {
        // Out of memory or a failed thread resource: the connection ends here,
        // and its line says what was composed so far.
    }
    if (!overdue(ticket)) {
        // The reply is complete: the client sees its end now, not after the
        // access line's flush to disk.
        platform::shutdown_send(ticket.socket);
        ticket.reply_ended = true;
        write_access_record(context);
    }
}
