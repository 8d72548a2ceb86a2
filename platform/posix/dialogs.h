// How a message box is drawn on the screen, chosen at link time: real dialogs (dialogs_gtk.cpp,
// for the program with a display) or none at all (dialogs_none.cpp, for headless builds and the
// tests, where every box is a line on standard error). messages_posix.cpp decides when a box is
// a dialog and which process shows it; this is only the drawing.
#pragma once

#include <atomic>

namespace platform::dialogs {

// Exit codes of a dialog helper process.
constexpr int kHelperConfirmed = 0;
constexpr int kHelperNoDisplay = 2;
constexpr int kHelperOrphaned = 3;

// Whether this build draws dialogs at all.
bool available();

// Whether the calling thread has a display open, so that it can show a box itself.
bool displayOpen();

// Shows the box on the calling thread and runs the toolkit's loop until OK is pressed or
// `ending` is set; the loop also serves every other window of this thread.
void showBox(const char* text, const char* caption, const std::atomic<bool>& ending);

// Wakes the loop of a showBox on another thread, so that it sees `ending`.
void wakeBox();

// The body of a helper process: opens the display and shows the box until OK is pressed.
// Returns kHelperConfirmed, or kHelperNoDisplay when no display could be opened.
int helperBox(const char* text, const char* caption, const std::atomic<bool>& ending);

}  // namespace platform::dialogs
