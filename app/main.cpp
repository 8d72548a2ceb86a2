// The process entry of halvoran.
#include "app/control_state.h"
#include "app/halvoran.h"
#include "net/tcp_endpoint.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // The program started again by itself to show one message box of another thread.
    if (platform::isDialogHelper(argc, argv)) platform::runDialogHelper(argc, argv);
    // The one option: the version, for the package and the service manager. Anything else on
    // the command line is ignored, as the program has always done.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("halvoran %s\n", HALVORAN_VERSION);
        return 0;
    }
    platform::initProcess();
    int exitCode = WinMain(1);
    // The program keeps its endpoints for the whole run. As the process ends they stop taking
    // clients at once (a client of the next run is refused and tries again rather than being
    // taken here and dropped), then they go, each after its accept thread has finished.
    for (TcpEndpoint* endpoint : {control.imageEndpoint, control.trackingEndpoint, control.commandEndpoint}) {
        if (endpoint != nullptr) endpoint->stopListening();
    }
    delete control.imageEndpoint;
    delete control.trackingEndpoint;
    delete control.commandEndpoint;
    return exitCode;
}
