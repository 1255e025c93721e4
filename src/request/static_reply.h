#pragma once

#include <cstdint>
#include <span>
#include <string_view>

struct RequestContext;
struct ServerSettings;

// True when `mapped` (the URL from its second character, up to its first '?')
// holds a ".." segment, bounded by '/', '\\', its start or its end. Such a path
// never reaches the file system.
bool has_dot_dot_segment(std::string_view mapped);

// Builds local_path from WEBROOT and url: WEBROOT, the separator, then url from
// its second character with each '/' as the separator. Nothing is decoded. Sets
// path_refused for a ".." segment or a path longer than local_path holds.
void map_local_path(RequestContext& context, const ServerSettings& settings);

// Cuts `field`'s text at its first '?'.
void cut_at_question_mark(std::span<char> field);

// Formats "HTTP/1.0 200 OK\r\nContent-Length: %lld\r\nConnection: Keep-Alive\r\n"
// into `head`. Returns its length.
std::size_t format_reply_head(std::span<char> head, std::int64_t length);

enum class ContentClass { text, image };
// The class by the last '.' of the whole path: no '.', or ".html" as the start
// of the text from it, is text; anything else is image.
ContentClass content_class(std::string_view local_path);

inline constexpr std::string_view text_content_type = "Content-type: text/html\r\n\r\n";
inline constexpr std::string_view image_content_type = "Content-type: image/gif\r\n\r\n";
inline constexpr std::string_view not_found_text = "404 Not Found";

// Answers the request from the file at local_path, or with "404 Not Found"
// (also its status text).
void send_static_reply(RequestContext& context);
// Sends "404 Not Found" and sets it as the status text.
void send_not_found(RequestContext& context);
