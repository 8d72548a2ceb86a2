// Single instance on X11: the running instance's window is found by its class and title, among
// the windows of every process on the display, and brought to the front.
#pragma once

#include <X11/Xlib.h>

// A window (top-level, or inside a window manager's frame) whose WM_CLASS class is className
// and whose title is title; None when there is none.
Window findInstanceWindow(Display* display, const char* className, const char* title);

// Asks the window manager to activate the window (_NET_ACTIVE_WINDOW) and raises it, which is
// all there is to do when no window manager runs.
void activateInstanceWindow(Display* display, Window window);
