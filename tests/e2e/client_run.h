// Runs halvoran-client as a process and keeps what it printed; reads back the pictures it saves.
#pragma once

#include <png.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace client_tests {

using ClientRun = testing_support::ProgramRun;

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// A client with its arguments, standard input from stdinPath, output kept in files in dir, that
// the test waits for after doing something else meanwhile.
class ClientProcess {
public:
    bool start(const std::string& client, const std::string& dir, const std::vector<std::string>& args,
               const std::string& stdinPath = "/dev/null") {
        dir_ = dir;
        std::vector<std::string> argv{client};
        argv.insert(argv.end(), args.begin(), args.end());
        return process_.start(argv, {}, dir + "/err.txt", dir + "/out.txt", stdinPath);
    }
    // Waits (bounded) for the end; exitCode -1 when it did not end.
    ClientRun finish(int timeoutMs = 60000) {
        ClientRun result;
        if (!process_.waitExit(timeoutMs, result.exitCode)) result.exitCode = -1;
        result.out = output();
        result.err = testing_support::readFile(dir_ + "/err.txt");
        return result;
    }
    std::string output() const { return testing_support::readFile(dir_ + "/out.txt"); }

private:
    std::string dir_;
    testing_support::ChildProcess process_;
};

// A client run to its end (at most a minute).
inline ClientRun runClient(const std::string& client, const std::string& dir, const std::vector<std::string>& args,
                           const std::string& stdinPath = "/dev/null") {
    std::vector<std::string> argv{client};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::runProgram(argv, {}, 60000, dir, stdinPath);
}

// An RGB picture read back from a PNG file; width 0 when it cannot be read.
struct Picture {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(unsigned x, unsigned y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

inline Picture readPicture(const std::string& path) {
    Picture picture;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return picture;
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) == 0) return Picture{};
    picture.width = image.width;
    picture.height = image.height;
    return picture;
}

}  // namespace client_tests
