// The About dialog's procedure, apart from how the dialog is drawn: it asks for a full-screen
// dialog with a Done button, and ends the dialog with the result 1 when Done is pressed.
#pragma once

enum class DialogMessage { InitDialog, Command };

struct AboutDialogState {
    // Set when the dialog is initialised: how the dialog is to be shown.
    bool fullScreen = false;
    bool doneButton = false;
    bool inputPanelDown = false;
    // Set when the dialog is to end, with its result.
    bool ended = false;
    int result = 0;
};

// True when the procedure handled the message. `command` is the command's id for Command.
bool aboutDialogProc(AboutDialogState& dialog, DialogMessage message, int command);
