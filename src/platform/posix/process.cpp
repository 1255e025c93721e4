#include "platform/process.h"

#include <csignal>
#include <cstdlib>
#include <signal.h>
#include <unistd.h>

namespace platform {

bool prepare_process() {
    // A client that goes away while its reply is sent must cost only its own
    // connection. The sockets send with MSG_NOSIGNAL as well; ignoring the
    // signal also covers the pipes to CGI children. An ignored signal stays
    // ignored across exec, so the child starter puts the default back.
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGPIPE, &action, nullptr) == 0;
}

void exit_process(int code) {
    std::_Exit(code);
}

// There is no service registry here: the current directory stands in for the
// service's own.
std::optional<std::string> service_image_path() {
    return std::nullopt;
}

bool current_directory(std::span<char> directory) {
    if (directory.empty())
        return false;
    return ::getcwd(directory.data(), directory.size()) != nullptr;
}

} // namespace platform
