// The window's resource table: strings, the menu with its menu-bar description, the About
// dialog and the program icon. Plain data with the identifiers the window looks them up by.
#pragma once

#include <cstdint>

namespace resources {

// ---- identifiers -----------------------------------------------------------------------

constexpr int IDS_APP_TITLE = 1;  // the window title
constexpr int IDS_HELLO = 2;      // the text painted in the window
constexpr int IDS_CLASS = 3;      // the window class name
constexpr int IDS_FILE = 40005;   // first menu-bar button
constexpr int IDS_HELP = 104;     // second menu-bar button

constexpr int IDI_PROGRAM = 101;   // program icon
constexpr int IDM_MENU = 102;      // menu and menu-bar description
constexpr int IDD_ABOUTBOX = 103;  // About dialog

constexpr int IDOK = 1;  // the OK (Done) command
constexpr int IDM_HELP_ABOUT = 40003;
constexpr int IDM_FILE_BUTTON = 40004;
constexpr int IDM_FILE_EXIT = 40006;
constexpr int IDM_FILE_START = 40007;
constexpr int IDM_HELP_BUTTON = 40009;
constexpr int IDM_FILE_FOLLOW = 40013;
constexpr int IDM_FILE_STOP = 40014;

// Strings are loaded into buffers of this many characters.
constexpr int STRING_BUFFER = 100;

// ---- strings ---------------------------------------------------------------------------

// Copies string `id` into buffer (at most size - 1 characters and a terminating zero) and returns
// the number of characters copied; 0 and an empty buffer for an unknown id.
int loadString(int id, char* buffer, int size);

// ---- menu ------------------------------------------------------------------------------

struct MenuItem {
    int command;
    const char* label;
};

struct MenuPopup {
    const char* label;
    const MenuItem* items;
    int count;
};

struct MenuResource {
    const MenuPopup* popups;
    int count;
};

// A button of the menu bar: the command it sends, the string it shows and the pop-up of the
// menu that it drops down.
struct MenuBarButton {
    int command;
    int stringId;
    int subMenu;
};

struct MenuBarResource {
    int menuId;
    const MenuBarButton* buttons;
    int count;
};

// nullptr for an unknown id.
const MenuResource* findMenu(int id);
const MenuBarResource* findMenuBar(int id);

// ---- dialog ----------------------------------------------------------------------------

// Positions and sizes are in dialog units: a quarter of the font's average character width
// horizontally, an eighth of its height vertically.
struct DialogControl {
    enum Kind { Icon, Text };
    Kind kind;
    int resourceId;    // Icon: the icon's id
    const char* text;  // Text: the static text
    int x, y, width, height;
};

struct DialogResource {
    const char* caption;
    int width, height;
    const char* fontName;
    int fontPoints;
    const DialogControl* controls;
    int count;
};

const DialogResource* findDialog(int id);

// ---- icon ------------------------------------------------------------------------------

// One image of an icon: `size` rows of `size` characters; a hexadecimal digit picks one of the
// 16 palette colours, '.' is transparent.
struct IconImage {
    int size;
    const char* const* rows;
};

struct IconResource {
    const uint32_t* palette;  // 16 colours, 0xRRGGBB
    const IconImage* images;  // largest first
    int count;
};

const IconResource* findIcon(int id);

// The RGBA bytes (size x size x 4) of an image; out must hold size * size * 4 bytes.
void iconPixels(const IconResource& icon, const IconImage& image, uint8_t* out);

}  // namespace resources
