// The program's entry hands the process to the dialog helper only for the helper's own command
// line, and the helper checks who started it. These tests link the real platform without
// dialogs (no GTK), so a helper that is let through ends with "no display".
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Exit codes of a helper: 2 no display to show the box on, 3 not started by the program named.
constexpr int kNoDisplay = 2;
constexpr int kOrphaned = 3;

struct Args {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w)) {
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
};

TEST(DialogHelper, OnlyTheHelpersOwnCommandLineMakesAHelper) {
    struct Row {
        const char* what;
        std::vector<std::string> words;
        bool helper;
    };
    const Row rows[] = {
        {"the helper's command line", {"halvoran", "--halvoran-dialog", "42", "Caption", "Text"}, true},
        {"the program without options", {"halvoran"}, false},
        {"the version option", {"halvoran", "--version"}, false},
        {"an argument short", {"halvoran", "--halvoran-dialog", "42", "Caption"}, false},
        {"an argument too many", {"halvoran", "--halvoran-dialog", "42", "Caption", "Text", "more"}, false},
        {"the option not first", {"halvoran", "42", "--halvoran-dialog", "Caption", "Text"}, false},
        {"a similar option", {"halvoran", "--halvoran-dialogs", "42", "Caption", "Text"}, false},
    };
    for (const Row& row : rows) {
        Args args(row.words);
        EXPECT_EQ(platform::isDialogHelper(args.argc(), args.argv.data()), row.helper) << row.what;
    }
}

TEST(DialogHelperDeathTest, TheHelperEndsAtOnceUnlessItsParentStartedIt) {
    // The death test forks: in its child, this process is the parent.
    const std::string parent = std::to_string(getpid());
    struct Row {
        const char* what;
        std::string parentArg;
        int exitCode;
    };
    const Row rows[] = {
        {"its parent: it tries to show the box, and there is no display", parent, kNoDisplay},
        {"not a number", "abc", kOrphaned},
        {"a number with more after it", parent + "x", kOrphaned},
        {"empty", "", kOrphaned},
        {"init", "1", kOrphaned},
        {"a process that is not its parent", std::to_string(getpid() + 100000), kOrphaned},
    };
    for (const Row& row : rows) {
        Args args({"halvoran", "--halvoran-dialog", row.parentArg, "Caption", "Text"});
        EXPECT_EXIT(platform::runDialogHelper(args.argc(), args.argv.data()), ::testing::ExitedWithCode(row.exitCode),
                    "")
            << row.what;
    }
}

}  // namespace
