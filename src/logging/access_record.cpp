#include "logging/access_record.h"

#include "common/fixed_text.h"
#include "logging/write_log.h"
#include "platform/log_mutex.h"
#include "request/request_context.h"

#include <algorithm>
#include <optional>

namespace {

// アクセス許可されていません。 in Shift_JIS.
constexpr char refused_bytes[] = {'\x83', '\x41', '\x83', '\x4E', '\x83', '\x5A', '\x83',
                                  '\x58', '\x8B', '\x96', '\x89', '\xC2', '\x82', '\xB3',
                                  '\x82', '\xEA', '\x82', '\xC4', '\x82', '\xA2', '\x82',
                                  '\xDC', '\x82', '\xB9', '\x82', '\xF1', '\x81', '\x42'};
// クライアント側でキャンセルされました。 in Shift_JIS.
constexpr char cancelled_bytes[] = {'\x83', '\x4E', '\x83', '\x89', '\x83', '\x43', '\x83', '\x41',
                                    '\x83', '\x93', '\x83', '\x67', '\x91', '\xA4', '\x82', '\xC5',
                                    '\x83', '\x4C', '\x83', '\x83', '\x83', '\x93', '\x83', '\x5A',
                                    '\x83', '\x8B', '\x82', '\xB3', '\x82', '\xEA', '\x82', '\xDC',
                                    '\x82', '\xB5', '\x82', '\xBD', '\x81', '\x42'};
constexpr std::string_view refused_text{refused_bytes, sizeof refused_bytes};
constexpr std::string_view cancelled_text{cancelled_bytes, sizeof cancelled_bytes};

// The columns that "%4.4s" gives the method or the first request bytes.
constexpr std::size_t method_columns = 4;

void put(AccessRecord& record, std::string_view text) {
    if (record.length >= record.text.size()) {
        // Only a record changed from outside can get here; keep it terminated.
        record.length = record.text.size() - 1;
        record.text[record.length] = '\0';
    }
    std::span<char> room = std::span<char>(record.text).subspan(record.length);
    std::size_t kept = copy_into(room, text) ? text.size() : room.size() - 1;
    record.length += kept;
}

// The first piece of every line: the peer's octets, zero-padded.
void begin_with_address(AccessRecord& record, const std::array<int, 4>& octets) {
    (void)format_into(record.text, "%03d.%03d.%03d.%03d", octets[0], octets[1], octets[2],
                      octets[3]);
    record.length = text_of(record.text).size();
}

// What "%4.4s" makes of `text`: at most four bytes, up to a NUL, right-aligned
// in four columns. The bytes are the client's, so they are escaped after the
// padding is counted on the raw bytes.
void append_method_columns(AccessRecord& record, std::string_view text) {
    std::size_t used = 0;
    while (used < method_columns && used < text.size() && text[used] != '\0')
        ++used;
    put(record, std::string_view("    ").substr(0, method_columns - used));
    append_client_text(record, text.substr(0, used));
}

bool is_hex_digit(char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'F') ||
           (byte >= 'a' && byte <= 'f');
}

// Lead and trail bytes of code page 932, on every platform.
bool is_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
bool is_trail_byte(unsigned char byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// The number of bytes that must stay together from `position` on: three for a
// %XX escape, two for a Shift_JIS pair, else one. A '%' is never a trail byte,
// so an escape behind a stray lead byte still counts as one unit. A client's own
// "%41" looks like an escape too; keeping it whole costs nothing.
std::size_t unit_length(std::string_view text, std::size_t position) {
    if (text[position] == '%' && position + 2 < text.size() && is_hex_digit(text[position + 1]) &&
        is_hex_digit(text[position + 2]))
        return 3;
    if (is_lead_byte(static_cast<unsigned char>(text[position])) && position + 1 < text.size() &&
        is_trail_byte(static_cast<unsigned char>(text[position + 1])))
        return 2;
    return 1;
}

// The longest start of `text` of at most `limit` bytes that ends between units.
// The walk starts at the beginning, as only there is it known which byte leads.
std::size_t safe_cut(std::string_view text, std::size_t limit) {
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t next = position + unit_length(text, position);
        if (next > limit)
            break;
        position = next;
    }
    return position;
}

} // namespace

void begin_refused_line(AccessRecord& record, const std::array<int, 4>& octets) {
    begin_with_address(record, octets);
    put(record, " Info:");
    put(record, refused_text);
}

void begin_receive_failure_line(AccessRecord& record, const std::array<int, 4>& octets,
                                int error_number) {
    begin_with_address(record, octets);
    std::array<char, 32> warning{};
    (void)format_into(warning, "  Warning[%d]:", error_number);
    put(record, text_of(warning));
    put(record, cancelled_text);
}

void begin_method_refused_line(AccessRecord& record, const std::array<int, 4>& octets,
                               std::string_view head) {
    begin_request_line(record, octets, head);
}

void begin_request_line(AccessRecord& record, const std::array<int, 4>& octets,
                        std::string_view method) {
    begin_with_address(record, octets);
    put(record, " ");
    append_method_columns(record, method);
    put(record, " ");
}

void append_text(AccessRecord& record, std::string_view text) {
    put(record, text);
}

void append_client_text(AccessRecord& record, std::string_view text) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    std::size_t plain_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7F)
            continue;
        put(record, text.substr(plain_start, i - plain_start));
        const char escape[] = {'%', hex_digits[byte >> 4], hex_digits[byte & 0x0F]};
        put(record, std::string_view(escape, sizeof escape));
        plain_start = i + 1;
    }
    put(record, text.substr(plain_start));
}

std::string_view finish_access_line(const AccessRecord& record, std::string_view status_text,
                                    std::span<char> line) {
    if (line.empty())
        return {};
    std::size_t limit = std::min(access_line_limit, line.size() - 1);
    std::string_view data(record.text.data(), std::min(record.length, record.text.size() - 1));
    status_text = status_text.substr(0, limit);

    std::size_t kept = data.size();
    if (kept + status_text.size() > limit)
        kept = safe_cut(data, limit - status_text.size());
    (void)copy_into(line, data.substr(0, kept));
    (void)copy_into(line.subspan(kept), status_text);
    return {line.data(), kept + status_text.size()};
}

void write_access_record(RequestContext& context) {
    // An overdue handler has been given up by its worker: it logs nothing more.
    if (context.ticket.cancelled)
        return;
    platform::LogMutexHandle mutex = platform::LogMutexHandle::open();
    if (!mutex.valid())
        return;
    platform::LockResult result = mutex.lock();
    if (result == platform::LockResult::failed)
        return;
    // An abandoned lock means a writer ended inside its record; this line is
    // dropped, and the lock is released so that later lines are written.
    std::optional<LogRecordNumber> posted;
    if (result == platform::LockResult::acquired && !context.ticket.cancelled) {
        std::array<char, access_line_limit + 1> line{};
        posted =
            post_log(finish_access_line(context.access_record, text_of(context.status_text), line));
    }
    mutex.unlock();
    // The line's place is fixed under the lock; the flush comes outside it, so
    // that the lines of handlers that end together share one flush. The worker
    // that owns the ticket ends only once the line is on disk.
    context.ticket.access_record = posted;
}
