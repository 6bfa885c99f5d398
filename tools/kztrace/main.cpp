// kztrace: the developer trace viewer. Publishes the trace control block and prints every
// traced line as "tag: text" until SIGINT or SIGTERM.
//
//   kztrace [--prefix NAME]
//
// --prefix watches the objects of another name prefix than "Wendix32" (as set by
// kz::SetTraceObjectPrefix in the traced program).
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "diag/Trace.h"
#include "diag/TraceViewer.h"

namespace {

void PrintLine(const kz::TraceLine& line) {
    std::string_view text = line.text;
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    std::fwrite(line.tag.data(), 1, line.tag.size(), stdout);
    std::fputs(": ", stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Usage() {
    std::fputs("usage: kztrace [--prefix NAME]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string prefix = kz::TraceObjectPrefix();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--prefix") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            prefix = argv[++i];
        } else {
            return Usage();
        }
    }

    // Block the stop signals before the serving thread starts, so that it inherits the mask
    // and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    kz::TraceViewer viewer(PrintLine, prefix);
    std::string error;
    if (!viewer.Start(&error)) {
        std::fprintf(stderr, "kztrace: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "kztrace: listening on /%s (viewer id %u)\n", prefix.c_str(),
                 viewer.ViewerId());
    int received = 0;
    sigwait(&stopSignals, &received);
    viewer.Stop();
    return 0;
}
