// Without a display there is no window to make.
#include "ui/window.h"

bool initInstance(int) { return true; }
