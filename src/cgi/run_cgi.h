#pragma once

#include <cstddef>
#include <optional>
#include <span>

struct RequestContext;

// The most output kept from one CGI child; a child that writes more is ended
// and nothing is sent.
inline constexpr std::size_t cgi_output_cap = 4 * 1024 * 1024;

// The length of the child's header block, through its first blank line
// ("\r\n\r\n" or "\n\n", whichever ends first). Nothing when there is none.
std::optional<std::size_t> cgi_header_block_length(std::span<const char> output);

// Runs the selected program and relays its output behind the reply head.
void run_cgi(RequestContext& context);
