// The parts of the window that need no display: the About dialog's procedure, the lock that
// stands for the window without a display, and the resources the window is built from.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "resources/resources.h"
#include "tests/support/process.h"
#include "ui/about_dialog.h"
#include "ui/instance_lock.h"

namespace {

TEST(AboutDialogTest, AsksForAFullScreenDialogWithDoneAndEndsWithResult1OnlyOnDone) {
    AboutDialogState dialog;
    EXPECT_TRUE(aboutDialogProc(dialog, DialogMessage::InitDialog, 0));
    EXPECT_TRUE(dialog.fullScreen);
    EXPECT_TRUE(dialog.doneButton);
    EXPECT_TRUE(dialog.inputPanelDown);
    EXPECT_FALSE(dialog.ended);

    // Anything but Done (Cancel, a close request) leaves the dialog open.
    EXPECT_FALSE(aboutDialogProc(dialog, DialogMessage::Command, 2));
    EXPECT_FALSE(aboutDialogProc(dialog, DialogMessage::Command, -4));
    EXPECT_FALSE(dialog.ended);

    EXPECT_TRUE(aboutDialogProc(dialog, DialogMessage::Command, resources::IDOK));
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(dialog.result, 1);
}

TEST(InstanceLockTest, AnotherHolderIsRefusedAndTheLockIsFreeAgainAfterIt) {
    std::string path = testing_support::makeTempDir("halvoran-lock") + "/halvoran.lock";
    // Another instance holds the lock.
    int other = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(takeInstanceLock(path), InstanceLock::HeldByAnother);
    close(other);

    EXPECT_EQ(takeInstanceLock(path), InstanceLock::Taken);
    EXPECT_EQ(takeInstanceLock(path), InstanceLock::Taken);  // this process holds it already
    other = open(path.c_str(), O_RDWR);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "held for the life of the process";
    releaseInstanceLock();
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    EXPECT_EQ(takeInstanceLock("/nonexistent-directory/halvoran.lock"), InstanceLock::Unavailable);
}

TEST(InstanceLockTest, TheRuntimeDirectoryHoldsTheLock) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    std::string saved = old != nullptr ? old : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(instanceLockPath(), "/run/user/1234/halvoran.lock");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(instanceLockPath().rfind("/tmp/halvoran-", 0), 0u);
    if (old != nullptr) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST(ResourcesTest, StringsAreCutToTheBufferAndUnknownOnesAreEmpty) {
    char buffer[resources::STRING_BUFFER];
    EXPECT_EQ(resources::loadString(resources::IDS_HELLO, buffer, sizeof buffer), 20);
    EXPECT_STREQ(buffer, "Halvoran version 2.2");
    char small[9];
    EXPECT_EQ(resources::loadString(resources::IDS_APP_TITLE, small, sizeof small), 8);
    EXPECT_STREQ(small, "Halvoran");
    EXPECT_EQ(resources::loadString(999, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(ResourcesTest, EveryMenuBarButtonOpensAPopUpOfTheMenuAndShowsAString) {
    const resources::MenuBarResource* bar = resources::findMenuBar(resources::IDM_MENU);
    const resources::MenuResource* menu = resources::findMenu(resources::IDM_MENU);
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(menu, nullptr);
    for (int i = 0; i < bar->count; ++i) {
        const resources::MenuBarButton& button = bar->buttons[i];
        ASSERT_LT(button.subMenu, menu->count);
        char label[resources::STRING_BUFFER];
        ASSERT_GT(resources::loadString(button.stringId, label, sizeof label), 0);
        EXPECT_STREQ(label, menu->popups[button.subMenu].label);
    }
}

TEST(ResourcesTest, TheIconsImagesUseTheirPaletteAndLeaveTheCornersTransparent) {
    const resources::IconResource* icon = resources::findIcon(resources::IDI_PROGRAM);
    ASSERT_NE(icon, nullptr);
    ASSERT_EQ(icon->count, 2);
    EXPECT_EQ(icon->images[0].size, 32);
    EXPECT_EQ(icon->images[1].size, 16);
    for (int i = 0; i < icon->count; ++i) {
        int size = icon->images[i].size;
        std::vector<uint8_t> rgba(size_t(size) * size * 4);
        resources::iconPixels(*icon, icon->images[i], rgba.data());
        EXPECT_EQ(rgba[3], 0) << "top left corner";
        int opaque = 0;
        for (size_t p = 0; p < rgba.size(); p += 4) opaque += rgba[p + 3] == 0xFF;
        EXPECT_GT(opaque, size * size / 4) << "image " << size;
    }
}

}  // namespace
