// What a save does to the file system around its target: the file replaced
// or written in place, and what the target keeps.
#include "core/replace_file.hpp"

#include "core/system_calls.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kyr {
namespace {

namespace fs = std::filesystem;

class ReplaceFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kyr-replace-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    static void put(const std::string& target, const std::string& text) {
        std::ofstream(target, std::ios::binary | std::ios::trunc) << text;
    }
    static std::string contents(const std::string& target) {
        std::ifstream in(target, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static struct stat status(const std::string& target) {
        struct stat info {};
        EXPECT_EQ(lstat(target.c_str(), &info), 0) << target;
        return info;
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    // Writes `text` through a ReplacementFile and commits it.
    static void replace(const std::string& target, const std::string& text) {
        auto file = ReplacementFile::open(target, never_stop());
        ASSERT_TRUE(file) << file.error().message;
        ASSERT_EQ(write(file->fd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ASSERT_TRUE(file->commit());
    }

    fs::path dir_;
};

TEST_F(ReplaceFile, WritesAHiddenFileBesideTheTargetAndRenamesIt) {
    const std::string target = path("state.kyr");
    put(target, "old contents");
    const ino_t old_inode = status(target).st_ino;
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->temporary_path());
    const std::string temporary = *file->temporary_path();
    EXPECT_TRUE(fs::path(temporary).filename().string().starts_with(".state.kyr.saving-"));
    EXPECT_EQ(fs::path(temporary).parent_path(), dir_);
    EXPECT_EQ(contents(target), "old contents");  // untouched until the commit

    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(contents(target), "new");
    EXPECT_NE(status(target).st_ino, old_inode);
    EXPECT_EQ(entries(), 1u);
}

// The replaced file is held open across the rename and let go on the worker
// thread: every one must be closed soon after, or each save over a large file
// would keep its blocks allocated.
TEST_F(ReplaceFile, ReplacedFilesAreReleased) {
    const auto open_descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto before = open_descriptors();
    const std::string target = path("state.kyr");
    put(target, "first");
    for (int round = 0; round < 50; ++round) {
        replace(target, "round " + std::to_string(round));
    }
    EXPECT_EQ(contents(target), "round 49");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (open_descriptors() != before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplaceFile, AbandonedWriteRemovesTheTemporaryFile) {
    const std::string target = path("state.kyr");
    put(target, "old contents");
    {
        auto file = ReplacementFile::open(target, never_stop());
        ASSERT_TRUE(file);
        ASSERT_EQ(write(file->fd(), "partial", 7), 7);
        EXPECT_EQ(entries(), 2u);
    }
    EXPECT_EQ(contents(target), "old contents");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplaceFile, NewFileHasNoNameUntilCommitted) {
    const std::string target = path("state.kyr");
    for (const bool commit : {false, true}) {
        auto file = ReplacementFile::open(target, never_stop());
        ASSERT_TRUE(file);
        EXPECT_FALSE(file->temporary_path());
        EXPECT_FALSE(file->replaces_existing_file());
        ASSERT_EQ(write(file->fd(), "new", 3), 3);
        EXPECT_EQ(entries(), 0u);
        if (commit) {
            ASSERT_TRUE(file->commit());
        }
    }
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplaceFile, FileCreatedAtTheTargetMeanwhileIsReplacedWhole) {
    const std::string target = path("state.kyr");
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    put(target, "created meanwhile");
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(entries(), 1u);
}

// Kernels before 6.10 refuse linkat(AT_EMPTY_PATH) to unprivileged callers
// with ENOENT; the unnamed file must then be linked through /proc.
class RefusesEmptyPathLinks : public SystemCalls {
public:
    int linkat(int from_directory, const char* from, int to_directory, const char* to,
               int flags) override {
        if ((flags & AT_EMPTY_PATH) != 0) {
            ++refused;
            errno = ENOENT;
            return -1;
        }
        return SystemCalls::linkat(from_directory, from, to_directory, to, flags);
    }
    int refused = 0;
};

class ReplaceFileLinks : public ReplaceFile, public ::testing::WithParamInterface<bool> {};

TEST_P(ReplaceFileLinks, NewFileIsLinkedWhetherOrNotEmptyPathLinksAreAllowed) {
    const bool created_meanwhile = GetParam();
    RefusesEmptyPathLinks calls;
    const ScopedSystemCalls scope(calls);
    const std::string target = path("state.kyr");
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    if (created_meanwhile) {
        put(target, "created meanwhile");
    }
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(calls.refused, created_meanwhile ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(TargetCreatedMeanwhile, ReplaceFileLinks, ::testing::Bool());

struct ModeCase {
    mode_t umask_bits;
    mode_t expected;
};

class ReplaceFileModes : public ReplaceFile, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ReplaceFileModes, NewFileGetsTheUmaskAndReplacedFileKeepsItsMode) {
    const mode_t previous = umask(GetParam().umask_bits);
    replace(path("new.kyr"), "x");
    const std::string existing = path("existing.kyr");
    put(existing, "old");
    chmod(existing.c_str(), 0604);
    replace(existing, "new");
    umask(previous);
    EXPECT_EQ(status(path("new.kyr")).st_mode & 07777, GetParam().expected);
    EXPECT_EQ(status(existing).st_mode & 07777, 0604u);
}

INSTANTIATE_TEST_SUITE_P(Umasks, ReplaceFileModes,
                         ::testing::Values(ModeCase{0, 0666}, ModeCase{022, 0644}, ModeCase{027, 0640}),
                         [](const auto& info) { return "Umask0" + std::to_string(info.param.umask_bits); });

TEST_F(ReplaceFile, SymlinkKeepsPointingAtTheReplacedFile) {
    fs::create_directory(path("data"));
    const std::string real = path("data/state.kyr");
    put(real, "old");
    fs::create_symlink("data/state.kyr", path("relative-link"));
    fs::create_symlink(path("relative-link"), path("link-to-link"));

    replace(path("link-to-link"), "new");
    EXPECT_TRUE(S_ISLNK(status(path("relative-link")).st_mode));
    EXPECT_TRUE(S_ISLNK(status(path("link-to-link")).st_mode));
    EXPECT_EQ(contents(real), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(path("data")), fs::directory_iterator()), 1);
}

TEST_F(ReplaceFile, DanglingSymlinkCreatesTheFileItNames) {
    fs::create_symlink("absent.kyr", path("link"));
    replace(path("link"), "new");
    EXPECT_TRUE(S_ISLNK(status(path("link")).st_mode));
    EXPECT_EQ(contents(path("absent.kyr")), "new");
}

TEST_F(ReplaceFile, FileWithSeveralHardLinksIsWrittenInPlace) {
    const std::string target = path("state.kyr");
    put(target, "old contents, longer than the new");
    fs::create_hard_link(target, path("other-name.kyr"));
    const ino_t inode = status(target).st_ino;
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    EXPECT_FALSE(file->temporary_path());
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(status(target).st_ino, inode);
    EXPECT_EQ(contents(path("other-name.kyr")), "new");
}

TEST_F(ReplaceFile, DevicesAndPathsThroughProcAreWrittenInPlace) {
    // /dev/stdout reaches its file the same way, through /proc/self/fd.
    const std::string opened = path("opened.kyr");
    put(opened, "old");
    const int fd = ::open(opened.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const ino_t inode = status(opened).st_ino;
    for (const std::string& target : {std::string("/dev/null"), "/proc/self/fd/" + std::to_string(fd)}) {
        auto file = ReplacementFile::open(target, never_stop());
        ASSERT_TRUE(file) << target;
        EXPECT_FALSE(file->temporary_path()) << target;
        ASSERT_TRUE(file->commit());
    }
    ::close(fd);
    EXPECT_EQ(status(opened).st_ino, inode);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplaceFile, LongNamesStillGetATemporaryFile) {
    const std::string target = path(std::string(250, 'n'));
    put(target, "old");
    replace(target, "new");
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(entries(), 1u);
}

}  // namespace
}  // namespace kyr
