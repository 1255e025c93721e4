#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct RequestContext;

// True when `prefix` admits the client whose dotted address is `peer_text`: a
// byte-for-byte text prefix test, so 127.0.0.1 also admits 127.0.0.15. An empty
// prefix admits everyone.
bool address_admitted(std::string_view peer_text, std::string_view prefix);

// Where the head ends: the offset just behind the first "\r\n\r\n" of the
// received bytes, searched up to their first NUL. Nothing when the head is not
// complete, which it never is before 5 bytes are in.
std::optional<std::size_t> head_end(std::span<const char> received);

// The Content-Length that the head declares (header name in any case, a decimal
// value), or nothing.
std::optional<std::uint64_t> declared_content_length(std::string_view head);

// The outcome of splitting the request line.
enum class RequestLineFit {
    fits,            // every field held whole (protocol may be cut)
    method_too_long, // a method over 15 characters: refused as not implemented
    url_too_long,    // a URL over 511 characters: never mapped, "404 Not Found"
};

// Reads method, url and protocol from the start of request_head: fields are runs
// of non-white-space, white space (line ends included) before each skipped.
RequestLineFit split_request_line(RequestContext& context);

// The text as the console may show it: bytes 0x00-0x1F and 0x7F other than CR,
// LF and TAB become '.', so a client cannot send terminal control sequences.
std::string console_safe(std::string_view text);
