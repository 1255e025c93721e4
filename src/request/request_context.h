#pragma once

#include "dispatch/connection_ticket.h"
#include "logging/access_record.h"

#include <array>
#include <cstddef>

// Sizes of the texts of a request; each includes the terminator.
inline constexpr std::size_t request_head_size = 2048; // 2047 received bytes at most
inline constexpr std::size_t receive_piece_size = 1024;
inline constexpr std::size_t method_size = 16;   // a longer method is refused (501)
inline constexpr std::size_t url_size = 512;     // a longer URL is refused (404), never cut
inline constexpr std::size_t protocol_size = 64; // a longer protocol is cut; nothing reads it
inline constexpr std::size_t body_size = 1024;   // raw and decoded body, decoded query
inline constexpr std::size_t local_path_size = 512;
inline constexpr std::size_t cgi_command_size = 128;
inline constexpr std::size_t work_text_size = 2048;
inline constexpr std::size_t scratch_line_size = 1024;
inline constexpr std::size_t cgi_directory_size = 320;
inline constexpr std::size_t status_text_size = 80;

// The working record of one connection. It lives on the handler thread's stack,
// is shared with no other thread, and nothing in it grows.
struct RequestContext {
    explicit RequestContext(ConnectionTicket& connection) : ticket(connection) {}

    ConnectionTicket& ticket;
    std::array<int, 4> peer_octets{};
    std::array<char, 16> peer_text{};
    std::array<char, request_head_size> request_head{};
    int received_total = 0;
    int last_received = 0;
    std::array<char, method_size> method{};
    std::array<char, url_size> url{};
    std::array<char, protocol_size> protocol{};
    std::array<char, body_size> raw_body{};
    std::array<char, body_size> decoded_body{};
    std::array<char, body_size> query{};
    std::array<char, local_path_size> local_path{};
    // Set when the path must not reach the file system: a ".." segment, or a
    // path too long for local_path. Such a request gets "404 Not Found".
    bool path_refused = false;
    std::array<char, cgi_command_size> cgi_command{};
    bool is_perl = false;
    // Set when a CGI name or Perl command does not fit cgi_command; such a
    // request gets "404 Not Found", never the static reply (a script's source).
    bool cgi_refused = false;
    std::array<char, work_text_size> work_text{};
    std::array<char, scratch_line_size> scratch_line{};
    std::array<char, cgi_directory_size> cgi_directory{};
    std::array<char, status_text_size> status_text{};
    AccessRecord access_record;
};
