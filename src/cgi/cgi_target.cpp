#include "cgi/cgi_target.h"

#include "common/fixed_text.h"
#include "platform/conventions.h"
#include "platform/file.h"
#include "platform/process.h"
#include "request/request_context.h"
#include "request/static_reply.h"
#include "startup/server_settings.h"

#include <array>
#include <cstdio>
#include <span>
#include <string_view>

namespace {

// Only these 7 bytes count, so "PROTECTED" switches the selection off as well.
constexpr std::string_view protect_switch = "PROTECT";
constexpr std::string_view program_extension = ".cgi";
constexpr std::string_view script_extension = ".pl";
constexpr std::string_view named_application = "app.cgi";

// The URL without its first character, which is skipped whatever it is.
std::string_view url_after_first(const RequestContext& context) {
    std::string_view url = text_of(context.url);
    return url.size() < 2 ? std::string_view{} : url.substr(1);
}

bool extension_selection_off(const ServerSettings& settings) {
    return text_of(settings.CGIDIR).substr(0, protect_switch.size()) == protect_switch;
}

// The part of the URL that reaches the file system: from its second character
// up to its first '?'.
std::string_view mapped_part(const RequestContext& context) {
    std::string_view rest = url_after_first(context);
    return rest.substr(0, rest.find('?'));
}

// Forms the CGI name into cgi_command. Returns false when it does not fit.
bool form_cgi_name(RequestContext& context, std::string_view stem, std::string_view extension) {
    return copy_into(context.cgi_command, stem) && append_into(context.cgi_command, extension);
}

// Whether `path` needs no current directory in front of it to name the same
// file from another working directory.
bool is_absolute_path(std::string_view path) {
    if (!path.empty() && (path[0] == '/' || path[0] == platform::path_separator))
        return true;
    // A drive letter only means something where '\' is the separator.
    return platform::path_separator == '\\' && path.size() >= 2 && path[1] == ':';
}

// Cuts the line end of an interpreter line. The bytes are taken as signed, so
// a byte from 0x80 up counts as a control byte too, like CR and LF.
void cut_line_end(std::span<char> line) {
    std::size_t length = text_of(line).size();
    if (length < 2)
        return;
    if (static_cast<signed char>(line[length - 2]) < 16)
        line[length - 2] = '\0';
    else if (static_cast<signed char>(line[length - 1]) < 16)
        line[length - 1] = '\0';
}

// Reads the interpreter named by the script's "#!" line into scratch_line.
// Returns false when the script cannot be opened or has no such line.
bool read_interpreter_line(RequestContext& context) {
    // Opening a FIFO for a line read would block the handler past every
    // deadline; only a regular file is read.
    std::uint64_t size = 0;
    if (!platform::open_regular_file(context.local_path.data(), size).valid())
        return false;
    std::FILE* script = std::fopen(context.local_path.data(), "r");
    if (script == nullptr)
        return false;
    clear_text(context.scratch_line);
    // At most 254 bytes of the first line; the rest of the script is the
    // interpreter's business.
    bool has_line = std::fgets(context.scratch_line.data(), 255, script) != nullptr;
    std::fclose(script);
    if (!has_line || !text_of(context.scratch_line).starts_with("#!"))
        return false;
    cut_line_end(context.scratch_line);
    return true;
}

// The script's path as the child sees it. The child runs in the CGI directory,
// so a path relative to the server's directory gets that directory in front.
// Returns false when the path does not fit `script`: it is part of a command
// that must fit a field of the same size.
bool form_script_path(const RequestContext& context, std::span<char> script) {
    std::string_view path = text_of(context.local_path);
    if (is_absolute_path(path))
        return copy_into(script, path);
    if (!platform::current_directory(script))
        return false;
    char separator[] = {platform::path_separator, '\0'};
    return append_into(script, separator) && append_into(script, path);
}

} // namespace

void classify_cgi_url(RequestContext& context, const ServerSettings& settings) {
    context.is_perl = false;
    context.cgi_refused = false;
    clear_text(context.cgi_command);
    if (extension_selection_off(settings))
        return;
    // A ".." segment must not reach the file system, not even as a probe; the
    // static reply refuses such a path.
    if (context.path_refused || has_dot_dot_segment(mapped_part(context)))
        return;

    // The query is still part of the URL here, so a '.' in it counts when the
    // path before it has none.
    std::string_view rest = url_after_first(context);
    std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos)
        return;
    std::string_view stem = rest.substr(0, dot + 1);
    std::string_view from_dot = rest.substr(dot);
    bool fits = true;
    if (from_dot.starts_with(program_extension)) {
        fits = form_cgi_name(context, stem, "exe");
    } else if (from_dot.starts_with(script_extension)) {
        fits = form_cgi_name(context, stem, "pl");
        context.is_perl = true;
    } else {
        return;
    }
    // A cut name could name another program; the request is refused instead.
    if (!fits || !format_into(context.work_text, "%s%c%s", settings.WEBCGI.data(),
                              platform::path_separator, context.cgi_command.data())) {
        context.cgi_refused = true;
        clear_text(context.cgi_command);
        return;
    }
    // The name is tested literally: a '*' or '?' from the URL is no wildcard.
    if (!platform::path_exists(context.work_text.data()))
        clear_text(context.cgi_command);
}

void build_perl_command(RequestContext& context) {
    if (context.cgi_refused)
        return;
    std::array<char, cgi_command_size> script{};
    const char* interpreter = platform::default_perl_interpreter;
    if (read_interpreter_line(context))
        interpreter = context.scratch_line.data() + 2;
    // A cut command would run another program or script; refuse it instead.
    if (!form_script_path(context, script) ||
        !format_into(context.work_text, "%s %s", interpreter, script.data()) ||
        !copy_into(context.cgi_command, text_of(context.work_text))) {
        context.cgi_refused = true;
        clear_text(context.cgi_command);
    }
}

bool is_cgi_request(const RequestContext& context) {
    if (context.cgi_refused)
        return false;
    return url_after_first(context) == named_application || context.cgi_command[0] != '\0' ||
           context.is_perl;
}

void build_cgi_command_line(RequestContext& context, const ServerSettings& settings) {
    if (context.is_perl)
        copy_into(context.work_text, text_of(context.cgi_command));
    else if (context.cgi_command[0] != '\0')
        format_into(context.work_text, "%s%c%s", settings.WEBCGI.data(), platform::path_separator,
                    context.cgi_command.data());
    else
        format_into(context.work_text, "%s%c%s", settings.WEBCGI.data(), platform::path_separator,
                    settings.CGINAME.data());
    copy_into(context.cgi_directory, text_of(settings.WEBCGI));
}
