// tagclient: sends one tag-protocol request built from the command line and,
// for a GET, prints the agent's reply as one line.
#include <unistd.h>

#include <cstdlib>

#include "msg_request.h"
#include "vlog.h"

namespace {

constexpr const char* DEFAULT_HOST = "localhost";
constexpr uint16_t DEFAULT_PORT = 60000;

// The request of this run. It lives until the process ends; held here so
// that it stays reachable to the end rather than leaking when main returns.
MsgRequest* request = nullptr;

}  // namespace

int main(int argc, char** argv) {
    cVlog::init(cVlog::ERROR);

    const char* host = DEFAULT_HOST;
    uint16_t port = DEFAULT_PORT;
    int opt;
    // Unknown options and missing arguments are left to getopt's own message.
    while ((opt = getopt(argc, argv, "h:p:")) != -1) {
        if (opt == 'h') host = optarg;
        if (opt == 'p') port = uint16_t(strtol(optarg, nullptr, 10));
    }

    request = createRequest(optind < argc ? argv[optind] : nullptr);
    if (!request) return 0;
    request->outIsTerminal = isatty(STDOUT_FILENO) == 1;
    for (int i = optind + 1; i < argc; ++i) request->addTagArg(argv[i]);

    if (request->hasError())
        request->printError();
    else
        request->send(host, port);
    return 0;
}
