// No dialogs: the build for machines without a display (and the tests). Every message box is
// the line "Caption: text" on standard error, and the kill prompt waits for a kill signal.
#include "platform/posix/dialogs.h"

namespace platform::dialogs {

bool available() { return false; }

bool displayOpen() { return false; }

// Never reached: without dialogs no box is drawn (messages_posix.cpp asks available() first).
void showBox(const char*, const char*, const std::atomic<bool>&) {}

void wakeBox() {}

int helperBox(const char*, const char*, const std::atomic<bool>&) { return kHelperNoDisplay; }

}  // namespace platform::dialogs
