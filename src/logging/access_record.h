#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

struct RequestContext;

// The longest access line handed to the log: 1023 bytes.
inline constexpr std::size_t access_line_limit = 1023;
// The composition area: every piece at its largest, each client byte escaped to
// three, so composing never cuts; the one cut to access_line_limit is made when
// the line is finished.
inline constexpr std::size_t access_record_size = 8192;

// The one access line of a connection, composed piece by piece. Bytes that come
// from the client are appended through append_client_text, which writes control
// bytes as %XX so that one connection gives one physical line.
struct AccessRecord {
    std::array<char, access_record_size> text{};
    std::size_t length = 0;
};

// The four beginnings of the line; exactly one runs for a connection. Each
// replaces whatever the record held. `octets` are the peer's address in dotted
// order.
void begin_refused_line(AccessRecord& record, const std::array<int, 4>& octets);
void begin_receive_failure_line(AccessRecord& record, const std::array<int, 4>& octets,
                                int error_number);
// `head` is the received request; its first four bytes are taken as "%4.4s"
// takes them (up to a NUL), then escaped.
void begin_method_refused_line(AccessRecord& record, const std::array<int, 4>& octets,
                               std::string_view head);
void begin_request_line(AccessRecord& record, const std::array<int, 4>& octets,
                        std::string_view method);

// Appends bytes of the server's own.
void append_text(AccessRecord& record, std::string_view text);
// Appends bytes that came from the client: 0x00-0x1F and 0x7F as %XX.
void append_client_text(AccessRecord& record, std::string_view text);

// The line handed to the log: the record with `status_text` appended, cut in
// the data before the status so that it fits access_line_limit bytes, never
// inside a %XX escape or a Shift_JIS pair. Written into `line`, terminated;
// returns a view of it.
std::string_view finish_access_line(const AccessRecord& record, std::string_view status_text,
                                    std::span<char> line);

// The closing step of every connection: appends the status and posts the line
// under the log mutex, leaving its number in the ticket for the worker, who
// ends once it is on disk. A cancelled handler writes nothing.
void write_access_record(RequestContext& context);
