// The process entry of halvoran.
#include "app/halvoran.h"
#include "platform/platform.h"

int main() {
    platform::initProcess();
    return WinMain(1);
}
