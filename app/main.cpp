// The process entry of halvoran.
#include "app/control_state.h"
#include "app/halvoran.h"
#include "net/tcp_endpoint.h"
#include "platform/platform.h"

int main() {
    platform::initProcess();
    int exitCode = WinMain(1);
    // The program keeps its endpoints for the whole run; as the process ends they go, each after
    // its accept thread has finished, so that no thread is left touching them.
    delete control.imageEndpoint;
    delete control.trackingEndpoint;
    delete control.commandEndpoint;
    return exitCode;
}
