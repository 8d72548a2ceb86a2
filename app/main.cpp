// The process entry of halvoran.
#include "app/control_state.h"
#include "app/halvoran.h"
#include "app/program_objects.h"
#include "app/realtime.h"
#include "net/tcp_endpoint.h"
#include "platform/platform.h"
#include "record/recorder.h"

#include <cstdio>
#include <cstdlib>
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
    startRealtime(std::getenv("HALVORAN_REALTIME"));
    record::startRecording();
    int exitCode = WinMain(1);
    record::stopRecording();
    // The program keeps its endpoints for the whole run; they go as the process ends.
    releaseEndpoints();
    return exitCode;
}
