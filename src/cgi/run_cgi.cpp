#include "cgi/run_cgi.h"

#include "cgi/cgi_target.h"
#include "cgi/environment_list.h"
#include "common/blocking.h"
#include "common/fixed_text.h"
#include "dispatch/send.h"
#include "platform/child_process.h"
#include "platform/console.h"
#include "request/request_context.h"
#include "request/static_reply.h"
#include "startup/server_settings.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view start_error_text = "CreateProcess ERROR\n";
constexpr std::string_view write_error_text = "WriteFile Error\n";

// The end of the first occurrence of `pattern` in `output`, if any.
std::optional<std::size_t> end_of_first(std::string_view output, std::string_view pattern) {
    std::size_t found = output.find(pattern);
    if (found == std::string_view::npos)
        return std::nullopt;
    return found + pattern.size();
}

// The environment block of the run, with its size; nothing when the memory
// for it cannot be obtained.
struct EnvironmentBlock {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

std::optional<EnvironmentBlock> build_environment(RequestContext &context) {
    try {
        EnvironmentList list;
        collect_cgi_variables(context, list);
        EnvironmentBlock block{list.build_block(), static_cast<std::size_t>(list.block_size())};
        if (!block.bytes)
            return std::nullopt;
        return block;
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
}

// Sends the reply head with the length of the body behind the child's header
// block, then the child's output unchanged. Output without a blank line has no
// body to measure, and then nothing is sent.
void relay_output(RequestContext &context, std::span<const char> output) {
    std::optional<std::size_t> header_length = cgi_header_block_length(output);
    if (!header_length)
        return;
    auto body_length = static_cast<std::int64_t>(output.size() - *header_length);
    std::size_t head_length = format_reply_head(context.work_text, body_length);
    platform::MoreFollows more = output.empty() ? platform::MoreFollows::no : platform::MoreFollows::yes;
    if (send_text(context.ticket, std::string_view(context.work_text.data(), head_length), more) != 0)
        return;
    (void)send_bytes(context.ticket, output);
}

} // namespace

// A blank line that opens the output ends an empty header block, and that line
// end itself is the block: "\r\n" counts 2 bytes, "\n" 1. Otherwise the block
// runs through the first "\r\n\r\n" or "\n\n", whichever ends first.
std::optional<std::size_t> cgi_header_block_length(std::span<const char> output) {
    std::string_view text(output.data(), output.size());
    if (text.starts_with("\n"))
        return 1;
    if (text.starts_with("\r\n"))
        return 2;
    std::optional<std::size_t> crlf_end = end_of_first(text, "\r\n\r\n");
    std::optional<std::size_t> lf_end = end_of_first(text, "\n\n");
    if (crlf_end && lf_end)
        return std::min(*crlf_end, *lf_end);
    return crlf_end ? crlf_end : lf_end;
}

void run_cgi(RequestContext &context) {
    const ServerSettings &settings = server_settings();
    build_cgi_command_line(context, settings);
    std::optional<EnvironmentBlock> block = build_environment(context);
    if (!block) {
        platform::console_write(start_error_text);
        return;
    }

    platform::ChildRun run;
    run.command_line = text_of(context.work_text);
    run.environment_block = {block->bytes.get(), block->size};
    run.working_directory = context.cgi_directory.data();
    run.input = text_of(context.decoded_body);
    // The handler's own deadline bounds the child too, so an overdue handler
    // never waits for a child.
    run.time_limit = std::min(deadline_after(cgi_time_limit_ms(settings)), context.ticket.deadline);
    run.output_cap = cgi_output_cap;

    std::vector<char> output;
    // Starting the child and waiting for it take a while on any system.
    about_to_block();
    switch (platform::run_child(run, output)) {
    case platform::ChildRunStatus::finished:
        break;
    case platform::ChildRunStatus::start_failed:
        platform::console_write(start_error_text);
        return;
    case platform::ChildRunStatus::write_failed:
        platform::console_write(write_error_text);
        return;
    case platform::ChildRunStatus::timed_out:
    case platform::ChildRunStatus::output_too_large:
        return;
    }
    block.reset();
    relay_output(context, output);
}
