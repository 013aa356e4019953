// The writer's failure paths, made so that they fail for the superuser too
// (no permission bits involved), and the temporary file's name and clean-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "io/output_file.h"
#include "test_util.h"

using namespace orvandel;

namespace {

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool has_unnamed_files(const std::string& dir) {
    const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

using Opener = OutputHandle (*)(const std::string&, int*);
const struct {
    const char* name;
    Opener open;
} OPENERS[] = {{"unnamed first", open_output}, {"named", open_output_named}};

// Space reserved ahead of the writes, more or less than the file, neither
// lengthens the file nor shows in its bytes.
TEST(OutputFile, ReservedSpaceLeavesTheFileAsWritten) {
    for (const auto& opener : OPENERS)
        for (const int64_t reserved : {int64_t(3), int64_t(1) << 20}) {
            int error = 0;
            OutputHandle out = opener.open(test::scratch_path("reserved.bmp"), &error);
            ASSERT_TRUE(out) << opener.name;
            reserve_output(out.get(), reserved);
            ASSERT_TRUE(write_output(out.get(), "BM\0\1", 4) && commit_output(std::move(out))) << opener.name;
            EXPECT_EQ(test::read_file(test::scratch_path("reserved.bmp")), (std::vector<uint8_t>{'B', 'M', 0, 1}))
                << opener.name << ", " << reserved << " bytes reserved";
        }
}

// An output name as long as a file name may be: the temporary file's name
// must not grow from it.
TEST(OutputFile, LongestOutputNameIsWritten) {
    const std::string path = test::scratch_path(std::string(251, 'a') + ".bmp");
    for (const auto& opener : OPENERS) {
        int error = 0;
        OutputHandle out = opener.open(path, &error);
        ASSERT_TRUE(out) << opener.name;
        ASSERT_TRUE(write_output(out.get(), "atlas", 5)) << opener.name;
        ASSERT_TRUE(commit_output(std::move(out))) << opener.name;
        EXPECT_EQ(test::read_file(path), (std::vector<uint8_t>{'a', 't', 'l', 'a', 's'})) << opener.name;
        EXPECT_EQ(names_in(test::scratch_dir()).size(), 1u) << opener.name;
    }
}

// A process ended by a signal mid-write leaves the earlier file as it was and
// no temporary file; SIGKILL cannot be handled, so only unnamed files are safe.
TEST(OutputFile, SignalMidWriteLeavesNoTemporaryFile) {
    const std::string path = test::scratch_path("wall_mip.bmp");
    const bool unnamed = has_unnamed_files(test::scratch_dir());
    for (const auto& opener : OPENERS) {
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGKILL}) {
            const bool kill_named = signal_number == SIGKILL && (opener.open == open_output_named || !unnamed);
            if (kill_named) continue;
            test::write_file(path, {'o', 'l', 'd'});
            std::fflush(nullptr);
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                int error = 0;
                OutputHandle out = opener.open(path, &error);
                const std::vector<uint8_t> bytes(1 << 16, 0xAB);
                if (!out || !write_output(out.get(), bytes.data(), bytes.size())) _exit(1);
                raise(signal_number);
                _exit(2);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
                << opener.name << ", signal " << signal_number << ", status " << status;
            EXPECT_EQ(names_in(test::scratch_dir()), std::vector<std::string>{"wall_mip.bmp"})
                << opener.name << ", signal " << signal_number;
            EXPECT_EQ(test::read_file(path), (std::vector<uint8_t>{'o', 'l', 'd'})) << opener.name;
        }
    }
}

// Forty threads writing at once, the process ended at any moment: no
// temporary name survives, whichever step each thread was at.
TEST(OutputFile, SignalAmongManyWritersLeavesNoTemporaryFile) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> delay_us(1000, 30000);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (const auto& opener : OPENERS) {
        for (int round = 0; round < 6; ++round) {
            const std::string dir = test::scratch_path(std::string(opener.name) + std::to_string(round));
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
            std::fflush(nullptr);
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                std::vector<std::thread> writers;
                for (int w = 0; w < 40; ++w)
                    writers.emplace_back([&dir, &opener, w] {
                        const std::vector<uint8_t> bytes(4096, uint8_t(w));
                        for (;;) {
                            int error = 0;
                            OutputHandle out = opener.open(dir + "/" + std::to_string(w) + ".bin", &error);
                            if (out && write_output(out.get(), bytes.data(), bytes.size()))
                                commit_output(std::move(out));
                        }
                    });
                for (std::thread& writer : writers) writer.join();
                _exit(0);
            }
            usleep(useconds_t(delay_us(random)));
            kill(child, signals[round % 3]);
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status)) << opener.name << ", round " << round;
            for (const std::string& name : names_in(dir))
                EXPECT_NE(name.rfind(".orv", 0), 0u) << opener.name << ", round " << round << ": " << name;
        }
    }
}

// Replacing a file keeps its permission bits, as an editor does; a new file
// has those the umask leaves.
TEST(OutputFile, ReplacedFileKeepsItsPermissionBits) {
    const mode_t old_umask = umask(022);
    const std::string path = test::scratch_path("atlas.bmp");
    for (const auto& opener : OPENERS) {
        for (int mode : {0600, 0640, 0751, -1}) {
            unlink(path.c_str());
            if (mode >= 0) {
                test::write_file(path, {'o', 'l', 'd'});
                ASSERT_EQ(chmod(path.c_str(), mode_t(mode)), 0);
            }
            int error = 0;
            OutputHandle out = opener.open(path, &error);
            ASSERT_TRUE(out && write_output(out.get(), "new", 3) && commit_output(std::move(out))) << opener.name;
            struct stat info;
            ASSERT_EQ(stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, mode_t(mode >= 0 ? mode : 0644)) << opener.name << ", mode " << std::oct << mode;
            EXPECT_EQ(test::read_file(path), (std::vector<uint8_t>{'n', 'e', 'w'}));
        }
    }
    umask(old_umask);
}

// Past a file-size limit (with SIGXFSZ ignored, as the program does) the
// write fails and nothing of it is left, whichever kind of temporary file.
TEST(OutputFile, FileSizeLimitFailsTheWriteAndLeavesNothing) {
    const std::string dir = test::scratch_path("limited");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const struct rlimit limit = {1000, 1000};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
        const std::vector<uint8_t> bytes(4096, 0xAB);
        int refused = 0;
        for (const auto& opener : OPENERS) {
            int error = 0;
            OutputHandle out = opener.open(dir + "/big.bin", &error);
            if (out && !write_output(out.get(), bytes.data(), bytes.size())) ++refused;
        }
        _exit(refused == 2 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(names_in(dir), std::vector<std::string>{});
}

// No permission bits: these fail for the superuser as for anyone.
TEST(WriteBmp24, FailsWhereNoFileCanBe) {
    test::ImagePtr image = test::make_image(300, 300, {});
    const std::string file = test::scratch_path("plain.bmp");
    test::write_file(file, {1, 2, 3});
    EXPECT_FALSE(write_bmp24(test::scratch_path("missing/out.bmp").c_str(), image.get()));
    EXPECT_FALSE(write_bmp24((file + "/out.bmp").c_str(), image.get()));
    EXPECT_EQ(names_in(test::scratch_dir()), std::vector<std::string>{"plain.bmp"});

    // A full file system: a small one of our own where the system lets us mount it.
    const std::string small = test::scratch_path("small");
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "no tmpfs to fill here";
    const std::string atlas = small + "/wall_mip.bmp";
    test::write_file(atlas, {'o', 'l', 'd'});
    for (const auto& opener : OPENERS) {
        int error = 0;
        OutputHandle out = opener.open(atlas, &error);
        ASSERT_TRUE(out) << opener.name;
        const std::vector<uint8_t> bytes(1 << 17, 0xAB);
        const WriteResult written = write_output(out.get(), bytes.data(), bytes.size());
        EXPECT_EQ(write_failure_text(written), "No space left on device") << opener.name;
    }
    EXPECT_FALSE(write_bmp24(atlas.c_str(), image.get()));
    const std::vector<std::string> left = names_in(small);
    const std::vector<uint8_t> kept = test::read_file(atlas);
    umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(left, std::vector<std::string>{"wall_mip.bmp"});
    EXPECT_EQ(kept, (std::vector<uint8_t>{'o', 'l', 'd'}));
}

}  // namespace
