// The recorder's settings, its file's name, the folder's cap and a folder it cannot write.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <memory>
#include <string>
#include <thread>

#include "record/hooks.h"
#include "record/recorder.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        char templ[] = "/tmp/halvoran-rec-XXXXXX";
        path = mkdtemp(templ);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

void writeFile(const std::string& path, size_t size) { std::ofstream(path) << std::string(size, 'x'); }

bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

TEST(RecordSettings, TheEnvironmentSwitchesRecordingAndSetsTheCap) {
    struct Case {
        const char* dir;
        const char* maxMb;
        std::string wantDir;
        uint64_t wantBytes;
    };
    const Case cases[] = {
        {nullptr, nullptr, "", 1024ULL << 20},
        {"", nullptr, "", 1024ULL << 20},
        {"/var/rec", nullptr, "/var/rec", 1024ULL << 20},
        {"/var/rec", "5", "/var/rec", 5ULL << 20},
        {"/var/rec", "abc", "/var/rec", 1024ULL << 20},
        {"/var/rec", "0", "/var/rec", 1024ULL << 20},
        {"/var/rec", "12x", "/var/rec", 1024ULL << 20},
    };
    for (const Case& c : cases) {
        c.dir ? setenv("HALVORAN_RECORD_DIR", c.dir, 1) : unsetenv("HALVORAN_RECORD_DIR");
        c.maxMb ? setenv("HALVORAN_RECORD_MAX_MB", c.maxMb, 1) : unsetenv("HALVORAN_RECORD_MAX_MB");
        testing::internal::CaptureStderr();
        record::Settings s = record::settingsFromEnvironment();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(s.directory, c.wantDir) << (c.dir ? c.dir : "unset");
        EXPECT_EQ(s.maxBytes, c.wantBytes) << (c.maxMb ? c.maxMb : "unset");
    }
    unsetenv("HALVORAN_RECORD_DIR");
    unsetenv("HALVORAN_RECORD_MAX_MB");
}

TEST(RecordSettings, TheFileIsNamedAfterTheLocalStartTime) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(record::sessionFileName(0), "halvoran-19700101-000000.mcap");
    EXPECT_EQ(record::sessionFileName(1796711218), "halvoran-20261208-062658.mcap");
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

// The oldest recordings go until the folder is under its cap; other files and the new
// recording stay.
TEST(Recorder, TheOldestRecordingsGoBeyondTheCap) {
    TempDir dir;
    writeFile(dir.path + "/halvoran-20200101-000000.mcap", 600 << 10);
    writeFile(dir.path + "/halvoran-20200102-000000.mcap", 300 << 10);
    writeFile(dir.path + "/halvoran-20200103-000000.mcap", 300 << 10);
    writeFile(dir.path + "/notes.txt", 2 << 20);
    auto queues = std::make_unique<record::Queues>();
    record::Settings settings;
    settings.directory = dir.path;
    settings.maxBytes = 1 << 20;
    settings.syncChunks = false;
    {
        record::Recorder recorder(settings, *queues);
        ASSERT_TRUE(recorder.start());
        ASSERT_TRUE(waitFor([&] { return !recorder.path().empty() && fs::exists(recorder.path()); }));
        ASSERT_TRUE(waitFor([&] { return !fs::exists(dir.path + "/halvoran-20200101-000000.mcap"); }));
        EXPECT_TRUE(recorder.stop());
        EXPECT_FALSE(recorder.failed());
        EXPECT_TRUE(fs::exists(recorder.path()));
    }
    EXPECT_TRUE(fs::exists(dir.path + "/halvoran-20200102-000000.mcap"));
    EXPECT_TRUE(fs::exists(dir.path + "/halvoran-20200103-000000.mcap"));
    EXPECT_TRUE(fs::exists(dir.path + "/notes.txt"));
}

// A folder that cannot be made is reported once; the hooks then queue nothing and the caller
// is never held up.
TEST(Recorder, AnUnwritableFolderIsReportedOnceAndRecordingStops) {
    TempDir dir;
    writeFile(dir.path + "/file", 10);
    auto queues = std::make_unique<record::Queues>();
    record::Settings settings;
    settings.directory = dir.path + "/file/recordings";
    testing::internal::CaptureStderr();
    record::Recorder recorder(settings, *queues);
    ASSERT_TRUE(recorder.start());
    ASSERT_TRUE(waitFor([&] { return recorder.failed(); }));
    const uint8_t bytes[] = {1, 2, 3};
    for (int i = 0; i < 10; ++i) record::portSent(5000, bytes, 3);
    EXPECT_TRUE(recorder.stop());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(queues->main.size(), 0u);
    EXPECT_NE(said.find("Recording stopped"), std::string::npos) << said;
    EXPECT_EQ(said.find("Recording stopped"), said.rfind("Recording stopped")) << said;
}

// A disk that fills up while recording (a 256 KiB tmpfs, in a mount namespace of this test's
// own): the failed write is reported once, recording stops, and the hooks go on returning at
// once without queueing.
TEST(Recorder, AFullDiskIsReportedOnceAndRecordingStops) {
    TempDir dir;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    auto queues = std::make_unique<record::Queues>();
    record::Settings settings;
    settings.directory = dir.path + "/recordings";
    settings.chunkBytes = 16 * 1024;
    testing::internal::CaptureStderr();
    record::Recorder recorder(settings, *queues);
    ASSERT_TRUE(recorder.start());
    // Bytes that do not compress, until the writer gives up.
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(400);
    const bool stopped = waitFor([&] {
        for (int i = 0; i < 50; ++i) {
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
            record::portSent(5001, bytes.data(), static_cast<int>(bytes.size()));
        }
        return recorder.failed();
    });
    umount2(dir.path.c_str(), MNT_DETACH);
    ASSERT_TRUE(stopped) << "the recording never met the full disk";
    const size_t before = queues->main.size();
    record::portSent(5001, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(queues->main.size(), before);
    EXPECT_TRUE(recorder.stop());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
    EXPECT_EQ(said.find("Recording stopped"), said.rfind("Recording stopped")) << said;
}

}  // namespace
