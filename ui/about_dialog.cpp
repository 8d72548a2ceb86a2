#include "ui/about_dialog.h"

#include "resources/resources.h"

bool aboutDialogProc(AboutDialogState& dialog, DialogMessage message, int command) {
    switch (message) {
        case DialogMessage::InitDialog:
            dialog.fullScreen = true;
            dialog.doneButton = true;
            dialog.inputPanelDown = true;
            return true;
        case DialogMessage::Command:
            if (command != resources::IDOK) return false;
            dialog.ended = true;
            dialog.result = 1;
            return true;
    }
    return false;
}
