#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>
#include <string>

#include "core/devtime.h"
#include "files/probe_files.h"
#include "temp_dir.h"

namespace kvr {
namespace {

namespace fs = std::filesystem;
using kvr::testing::readFile;
using kvr::testing::TempDir;
using kvr::testing::writeFile;

const std::string kMartenHead = std::string(kMartenDumpHeader) + "\r\n";
const std::string kDataHead = std::string(kDataHeader) + "\r\n";

// Numbers of the dump files present, and each one's content.
std::map<int, std::string> dumps(const fs::path& folder) {
    std::map<int, std::string> out;
    for (int n = 0; n <= 99; ++n)
        if (fs::exists(dumpFilePath(folder, n))) out[n] = readFile(dumpFilePath(folder, n));
    return out;
}

TEST(Rotation, EveryFileMovesUpAndGapsMoveWithThem) {
    struct Case {
        const char* name;
        std::vector<int> before;
        std::map<int, int> after;  // new number -> old number whose content it holds
    } cases[] = {
        {"no files", {}, {}},
        {"one file", {0}, {{1, 0}}},
        {"gap at 04", {0, 1, 2, 3, 5}, {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {6, 5}}},
        {"only 99", {99}, {}},
        {"98 and 99", {98, 99}, {{99, 98}}},
        {"no 00", {1, 2}, {{2, 1}, {3, 2}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        fs::create_directories(dumpFolderPath(dir.path()));
        for (int n : c.before) writeFile(dumpFilePath(dir.path(), n), "run " + std::to_string(n) + "\r\n");
        EXPECT_TRUE(rotateDumps(dir.path())) << c.name;
        std::map<int, std::string> expected;
        for (auto [now, was] : c.after) expected[now] = "run " + std::to_string(was) + "\r\n";
        EXPECT_EQ(dumps(dir.path()), expected) << c.name;
    }
}

TEST(Rotation, HundredFilesLoseTheOldest) {
    TempDir dir;
    fs::create_directories(dumpFolderPath(dir.path()));
    for (int n = 0; n <= 99; ++n) writeFile(dumpFilePath(dir.path(), n), "run " + std::to_string(n) + "\r\n");
    RunFiles files;
    ASSERT_TRUE(files.open(dir.path(), Program::Marten, makeLocal(2020, 1, 2, 3, 4)));
    ASSERT_TRUE(files.dump.write("new\r\n"));
    ASSERT_TRUE(files.close());
    auto after = dumps(dir.path());
    ASSERT_EQ(after.size(), 100u);
    EXPECT_EQ(after[0], kMartenHead + "new\r\n");
    for (int n = 1; n <= 99; ++n) EXPECT_EQ(after[n], "run " + std::to_string(n - 1) + "\r\n") << n;
}

TEST(RunFiles, FirstRunCreatesEverything) {
    TempDir dir;
    RunFiles files;
    ASSERT_TRUE(files.open(dir.path(), Program::Marten, makeLocal(2020, 1, 2, 3, 4)));
    EXPECT_TRUE(files.isOpen());
    ASSERT_TRUE(files.dump.write("d\r\n"));
    ASSERT_TRUE(files.data.write("r\r\n"));
    ASSERT_TRUE(files.close());
    EXPECT_TRUE(files.ok());
    EXPECT_EQ(files.failureText(), "");
    EXPECT_EQ(readFile(dumpFilePath(dir.path(), 0)), kMartenHead + "d\r\n");
    EXPECT_EQ(readFile(dataFilePath(dir.path())), kDataHead + "r\r\n");
    EXPECT_EQ(dumps(dir.path()).size(), 1u);
}

TEST(RunFiles, SecondRunAppendsAndRotates) {
    TempDir dir;
    for (const char* row : {"first\r\n", "second\r\n"}) {
        RunFiles files;
        ASSERT_TRUE(files.open(dir.path(), Program::Marten, makeLocal(2020, 1, 2, 3, 4)));
        files.dump.write(row);
        files.data.write(row);
        ASSERT_TRUE(files.close());
    }
    EXPECT_EQ(readFile(dataFilePath(dir.path())), kDataHead + "first\r\nsecond\r\n");
    EXPECT_EQ(readFile(dumpFilePath(dir.path(), 0)), kMartenHead + "second\r\n");
    EXPECT_EQ(readFile(dumpFilePath(dir.path(), 1)), kMartenHead + "first\r\n");
}

TEST(RunFiles, HeronDumpStartsWithTheRunDate) {
    TempDir dir;
    RunFiles files;
    ASSERT_TRUE(files.open(dir.path(), Program::Heron, makeLocal(2014, 5, 21, 9, 5, 59)));
    ASSERT_TRUE(files.close());
    EXPECT_EQ(readFile(dumpFilePath(dir.path(), 0)),
              "Date - 21/05/2014 09:05\r\n" + std::string(kHeronDumpHeader) + "\r\n");
}

TEST(RunFiles, OtterHasNoDumpFiles) {
    TempDir dir;
    RunFiles files;
    ASSERT_TRUE(files.open(dir.path(), Program::Otter, makeLocal(2014, 5, 21)));
    ASSERT_TRUE(files.close());
    EXPECT_FALSE(fs::exists(dumpFolderPath(dir.path())));
    EXPECT_EQ(readFile(dataFilePath(dir.path())), kDataHead);
}

TEST(OpenDataFile, HeaderOnlyIntoAnEmptyFile) {
    struct {
        const char* name;
        const char* before;  // nullptr: no file
        std::string after;
    } cases[] = {
        {"missing", nullptr, kDataHead},
        {"empty", "", kDataHead},
        {"blank line", "\r\n", "\r\n"},
        {"other first line", "hello\r\n", "hello\r\n"},
        {"no line end", "x", "x"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        fs::path p = dataFilePath(dir.path());
        if (c.before) writeFile(p, c.before);
        DataFile f;
        EXPECT_TRUE(openDataFile(f, p)) << c.name;
        EXPECT_TRUE(f.close()) << c.name;
        EXPECT_EQ(readFile(p), c.after) << c.name;
    }
}

// --- write failures -------------------------------------------------------

TEST(DataFile, PathThatIsAFolderFailsWithItsName) {
    TempDir dir;
    fs::create_directory(dataFilePath(dir.path()));
    RunFiles files;
    EXPECT_FALSE(files.open(dir.path(), Program::Marten, makeLocal(2020, 1, 1)));
    EXPECT_FALSE(files.ok());
    EXPECT_TRUE(files.dump.isOpen());  // the dump is fine; only the running file failed
    EXPECT_EQ(files.failureText(), dataFilePath(dir.path()).string() + ": " + std::strerror(EISDIR));
    EXPECT_FALSE(files.close());
}

TEST(DataFile, FullDiskFailsAndStaysFailed) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    DataFile f;
    ASSERT_TRUE(f.open("/dev/full", DataFile::Mode::Append));
    EXPECT_FALSE(f.write("row\r\n"));
    EXPECT_TRUE(f.failed());
    EXPECT_EQ(f.errorText(), std::strerror(ENOSPC));
    EXPECT_FALSE(f.write("x"));  // sticky
    EXPECT_FALSE(f.sync());
    EXPECT_FALSE(f.close());
    EXPECT_FALSE(f.isOpen());
}

// Restores a resource limit and a signal disposition when the test ends.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lim = saved_;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit saved_{};
    sighandler_t oldHandler_{};
};

TEST(DataFile, FileSizeLimitFailsAfterAPartialWrite) {
    TempDir dir;
    fs::path p = dir.path() / "big.csv";
    bool ok;
    std::string error;
    {
        FileSizeLimit limit(1000);
        DataFile f;
        ASSERT_TRUE(f.open(p, DataFile::Mode::Truncate));
        // 600 bytes fit; the next 600 are cut at the limit, and the rest
        // of that write must be reported, not dropped silently.
        ASSERT_TRUE(f.write(std::string(600, 'a')));
        ok = f.write(std::string(600, 'b'));
        error = f.errorText();
        f.close();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, std::strerror(EFBIG));
    EXPECT_EQ(fs::file_size(p), 1000u);
}

TEST(DataFile, ReadOnlyFolderNamesTheDumpFile) {
    TempDir dir;
    fs::create_directories(dumpFolderPath(dir.path()));
    fs::permissions(dir.path(), fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));
    fs::permissions(dumpFolderPath(dir.path()), fs::perms::owner_read | fs::perms::owner_exec |
                                                    fs::perms::group_read | fs::perms::group_exec |
                                                    fs::perms::others_read | fs::perms::others_exec);
    // The super-user writes anywhere, so the attempt runs in a child that
    // has given up that right.
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFd[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        RunFiles files;
        bool opened = files.open(dir.path(), Program::Marten, makeLocal(2020, 1, 1));
        std::string text = files.failureText();
        files.close();
        if (write(pipeFd[1], text.data(), text.size()) < 0) _exit(4);
        _exit(opened ? 1 : 0);
    }
    close(pipeFd[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(pipeFd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(pipeFd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "opening should have failed";
    EXPECT_EQ(text, dumpFilePath(dir.path(), 0).string() + ": " + std::strerror(EACCES));
}

TEST(DataFile, ReopenClearsAnEarlierFailure) {
    TempDir dir;
    DataFile f;
    EXPECT_FALSE(f.open(dir.path() / "no such folder" / "x.csv", DataFile::Mode::Append));
    EXPECT_EQ(f.errorText(), std::strerror(ENOENT));
    EXPECT_TRUE(f.open(dir.path() / "x.csv", DataFile::Mode::Append));
    EXPECT_TRUE(f.write("abc"));
    EXPECT_TRUE(f.close());
    EXPECT_EQ(readFile(dir.path() / "x.csv"), "abc");
}

}  // namespace
}  // namespace kvr
