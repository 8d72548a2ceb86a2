#include "app/program_objects.h"

#include <new>

#include "app/control_state.h"
#include "link/serial_port.h"
#include "net/tcp_endpoint.h"

bool openSerialPort(const char* portName) {
    control.serialPort = new (std::nothrow) SerialPort(portName);
    if (control.serialPort != nullptr && control.serialPort->isOpen) return true;
    // A port object that could not even be made counts as a port that did not open.
    releaseSerialPort();
    return false;
}

bool makeEndpoints() {
    control.commandEndpoint = new (std::nothrow) TcpEndpoint(COMMAND_PORT);
    control.imageEndpoint = new (std::nothrow) TcpEndpoint(IMAGE_PORT);
    control.trackingEndpoint = new (std::nothrow) TcpEndpoint(TRACKING_PORT);
    return control.commandEndpoint != nullptr && control.imageEndpoint != nullptr &&
           control.trackingEndpoint != nullptr;
}

void releaseSerialPort() {
    if (control.serialPort == nullptr) return;
    control.serialPort->close();
    delete control.serialPort;
    control.serialPort = nullptr;
}

void releaseEndpoints() {
    TcpEndpoint** endpoints[] = {&control.imageEndpoint, &control.trackingEndpoint, &control.commandEndpoint};
    // No endpoint takes a client any more (a client of the next run is refused and tries again
    // rather than being taken here and dropped) before the first one waits for its thread.
    for (TcpEndpoint** endpoint : endpoints) {
        if (*endpoint != nullptr) (*endpoint)->stopListening();
    }
    for (TcpEndpoint** endpoint : endpoints) {
        delete *endpoint;
        *endpoint = nullptr;
    }
}

void releaseProgramObjects() {
    releaseSerialPort();
    releaseEndpoints();
}
