// Acts as a test process with a child that has a child of its own: prints both process ids on
// one line, then waits to be killed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/Subprocess.hpp"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string pidFile = argv[1];
    pyrelle::testing::BackgroundProcess child(
        {"/bin/sh", "-c", "sleep 300 & echo $! > \"$0\"; wait", pidFile});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string grandchild;
    while (grandchild.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ifstream(pidFile) >> grandchild;
    }
    std::printf("%d %s\n", child.pid(), grandchild.c_str());
    std::fflush(stdout);
    pause();
    return 0;
}
