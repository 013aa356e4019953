// The modern batch in a hostile world: signals at any moment, inputs cut
// short while decoded, more jobs than cores.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "test_util.h"

using namespace orvandel;

namespace {

// The tool started with `args`, reading and printing nothing.
pid_t start_tool(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(ORVANDEL_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child != 0) return child;
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
    execv(argv[0], argv.data());
    _exit(127);
}

int wait_status(pid_t child) {
    int status = 0;
    return waitpid(child, &status, 0) == child ? status : -1;
}

// Hundreds of tiny textures, so that many workers are between writing and
// renaming at any moment; the signal comes anywhere in the run.
TEST(BatchRun, SignalsAtAnyMomentLeaveNoTemporaryFile) {
    std::vector<std::string> args{"-q", "-j", "16", "-o", ""};
    const test::ImagePtr tiny = test::make_image(2, 2, {1, 2, 3, 4});
    for (int i = 0; i < 300; ++i) {
        args.push_back(test::scratch_path(std::to_string(i) + ".bmp"));
        ASSERT_TRUE(write_bmp24(args.back().c_str(), tiny.get()));
    }
    args[4] = test::scratch_path("whole");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(wait_status(start_tool(args)), 0);
    const auto whole_run = std::chrono::steady_clock::now() - start;

    std::mt19937 random(20261207);
    std::uniform_real_distribution<double> moment(0.05, 0.95);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    int interrupted = 0;
    for (int round = 0; round < 12; ++round) {
        args[2] = round % 2 ? "64" : "16";
        args[4] = test::scratch_path("out" + std::to_string(round));
        const pid_t child = start_tool(args);
        std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::microseconds>(whole_run * moment(random)));
        kill(child, signals[round % 3]);
        const int status = wait_status(child);
        interrupted += WIFSIGNALED(status) && WTERMSIG(status) == signals[round % 3];
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(args[4], error))
            EXPECT_NE(entry.path().filename().string().rfind(".orv", 0), 0u) << "round " << round << ": " << entry.path();
    }
    EXPECT_GT(interrupted, 0);
}

// An 8-bit PCX two lines of 1000 long holding one line's data: decoding it
// warns after the first line, and the warning cuts the file to nothing, as
// another program might while the batch decodes it.
TEST(BatchRun, InputCutShortWhileDecodedNeverEndsTheRun) {
    test::Bytes file;
    file.u8(10).u8(5).u8(1).u8(8).le16(0).le16(0).le16(999).le16(1).le16(72).le16(72).fill(48, 0);
    file.u8(0).u8(1).le16(1000).le16(1).le16(0).le16(0).fill(54, 0);
    file.u8(12).fill(768, 7);  // the palette block, also read as the first line
    const std::string input = test::scratch_path("cut.pcx"), output = test::scratch_path("cut_mip.bmp");
    test::write_file(input, file.data);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CliOptions options;
        options.filter.filter = FilterKind::classic;
        const WarningSink cut = {[](void* path, const char*) {
                                     if (truncate(static_cast<const std::string*>(path)->c_str(), 0) != 0) std::abort();
                                 },
                                 const_cast<std::string*>(&input)};
        _exit(process_texture(input, output, options, 1, cut).status);
    }
    const int status = wait_status(child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    // Decoded from the bytes read before the cut.
    EXPECT_EQ(WEXITSTATUS(status), EXIT_ATLAS_WRITTEN);
    EXPECT_TRUE(test::file_exists(output));
}

TEST(BatchRun, BuildThreadsNeverExceedTheCores) {
    const struct {
        int jobs;
        size_t workers;
        int cores, threads;
    } cases[] = {
        {1024, 1, 2, 2}, {1024, 2, 8, 8}, {16, 4, 8, 4}, {6, 4, 8, 1}, {2, 1, 8, 2},
        {1, 1, 8, 1},    {8, 1, 1, 1},    {1024, 1024, 4, 1}, {4, 0, 4, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(build_thread_count(c.jobs, c.workers, c.cores), c.threads)
            << c.jobs << " jobs, " << c.workers << " workers, " << c.cores << " cores";
    EXPECT_GE(available_cores(), 1);
}

}  // namespace
