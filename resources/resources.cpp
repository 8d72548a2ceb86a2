// The window's resource table.
#include "resources/resources.h"

#include <cstring>

namespace resources {

namespace {

struct StringEntry {
    int id;
    const char* text;
};

constexpr StringEntry kStrings[] = {
    {IDS_APP_TITLE, "Halvoran 2.2"},
    {IDS_HELLO, "Halvoran version 2.2"},
    {IDS_CLASS, "WENDLOCK"},
    {IDS_FILE, "File"},
    {IDS_HELP, "Help"},
};

constexpr MenuItem kFileItems[] = {
    {IDM_FILE_START, "Start"},
    {IDM_FILE_FOLLOW, "Follow"},
    {IDM_FILE_STOP, "STOP"},
    {IDM_FILE_EXIT, "Exit"},
};
constexpr MenuItem kHelpItems[] = {
    {IDM_HELP_ABOUT, "About"},
};
constexpr MenuPopup kPopups[] = {
    {"File", kFileItems, 4},
    {"Help", kHelpItems, 1},
};
constexpr MenuResource kMenu{kPopups, 2};

// Two drop-down buttons without images: File opens pop-up 0, Help pop-up 1.
constexpr MenuBarButton kButtons[] = {
    {IDM_FILE_BUTTON, IDS_FILE, 0},
    {IDM_HELP_BUTTON, IDS_HELP, 1},
};
constexpr MenuBarResource kMenuBar{IDM_MENU, kButtons, 2};

constexpr DialogControl kAboutControls[] = {
    {DialogControl::Icon, IDI_PROGRAM, nullptr, 11, 17, 21, 20},
    {DialogControl::Text, 0, "Nimbrell Version 1.0", 40, 10, 82, 8},
};
constexpr DialogResource kAbout{"About Nimbrell", 179, 58, "System", 8, kAboutControls, 2};

// The sixteen colours of the classic palette.
constexpr uint32_t kPalette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

// A small wheeled robot: red lamp on an antenna, grey head with cyan eyes, blue body with a
// control panel, grey arms, two wheels.
constexpr const char* kRobot32[32] = {
    "................................", "...............99...............", "..............9999..............",
    "...............99...............", "...............00...............", "...............00...............",
    "...............00...............", "........0000000000000000........", "........0777777777777770........",
    "........0700000770000070........", "......88070fee0770fee07088......", "......88070eee0770eee07088......",
    "......88070000077000007088......", "......88077777777777777088......", "........0777888888887770........",
    "........0777777777777770........", "........0000000000000000........", "..............0000..............",
    "......00000000000000000000......", "...8880ccccc00000000ccccc0888...", "...8880ccccc0a444490ccccc0888...",
    "...88.0ccccc04bbbb40ccccc0.88...", "...88.0ccccc04444440ccccc0.88...", "...88.0ccccc00000000ccccc0.88...",
    "...88.0cccccccccccccccccc0.88...", "....000000000000000000000000....", "....000000000......000000000....",
    "....008888800......008888800....", "....008777800......008777800....", "....008888800......008888800....",
    "....000000000......000000000....", "....000000000......000000000....",
};

constexpr const char* kRobot16[16] = {
    ".......99.......", ".......00.......", ".......00.......", "...0000000000...",
    "...0777777770...", "...07ee77ee70...", "...0777777770...", "...0778888770...",
    "...0000000000...", "...0000000000...", "...0cccbbccc0...", "...0cccccccc0...",
    "..000000000000..", "..00800..00800..", "..00800..00800..", "..00000..00000..",
};

constexpr bool validRows(const char* const* rows, int size) {
    for (int y = 0; y < size; ++y) {
        int x = 0;
        for (; rows[y][x] != '\0'; ++x) {
            char c = rows[y][x];
            bool known = c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            if (!known) return false;
        }
        if (x != size) return false;
    }
    return true;
}
static_assert(validRows(kRobot32, 32), "every row of the 32 x 32 image has 32 known pixels");
static_assert(validRows(kRobot16, 16), "every row of the 16 x 16 image has 16 known pixels");

constexpr IconImage kRobotImages[] = {{32, kRobot32}, {16, kRobot16}};
constexpr IconResource kRobotIcon{kPalette, kRobotImages, 2};

}  // namespace

int loadString(int id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    for (const StringEntry& entry : kStrings) {
        if (entry.id != id) continue;
        int n = static_cast<int>(std::strlen(entry.text));
        if (n > size - 1) n = size - 1;
        std::memcpy(buffer, entry.text, static_cast<size_t>(n));
        buffer[n] = '\0';
        return n;
    }
    return 0;
}

const MenuResource* findMenu(int id) { return id == IDM_MENU ? &kMenu : nullptr; }

const MenuBarResource* findMenuBar(int id) { return id == IDM_MENU ? &kMenuBar : nullptr; }

const DialogResource* findDialog(int id) { return id == IDD_ABOUTBOX ? &kAbout : nullptr; }

const IconResource* findIcon(int id) { return id == IDI_PROGRAM ? &kRobotIcon : nullptr; }

void iconPixels(const IconResource& icon, const IconImage& image, uint8_t* out) {
    for (int y = 0; y < image.size; ++y) {
        for (int x = 0; x < image.size; ++x) {
            char c = image.rows[y][x];
            uint8_t* pixel = out + (static_cast<size_t>(y) * image.size + x) * 4;
            if (c == '.') {
                pixel[0] = pixel[1] = pixel[2] = pixel[3] = 0;
                continue;
            }
            int index = c <= '9' ? c - '0' : c - 'a' + 10;
            uint32_t rgb = icon.palette[index];
            pixel[0] = static_cast<uint8_t>(rgb >> 16);
            pixel[1] = static_cast<uint8_t>(rgb >> 8);
            pixel[2] = static_cast<uint8_t>(rgb);
            pixel[3] = 0xFF;
        }
    }
}

}  // namespace resources
