// What a save does to the file system around its target: the file replaced
// or written in place, what the target keeps, and who can reach the new file
// while it is written.
#include "core/replace_file.hpp"

#include "core/system_calls.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
    // The names in `folder` (the test's directory by default).
    std::set<std::string> listing(const std::string& folder = {}) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.empty() ? dir_ : fs::path(folder))) {
            names.insert(entry.path().filename().string());
        }
        return names;
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

// ".{target}.saving-XXXXXX", with six letters or digits.
bool is_temporary_name(const std::string& name, const std::string& target) {
    const std::string stem = "." + target + ".saving-";
    return name.size() == stem.size() + 6 && name.starts_with(stem) &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stem.size()), name.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

// A filesystem without unnamed files (O_TMPFILE), where the new file has a
// hidden name from the start.
class NoUnnamedFiles : public SystemCalls {
public:
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        if ((flags & O_TMPFILE) == O_TMPFILE) {
            errno = EOPNOTSUPP;
            return -1;
        }
        return SystemCalls::openat(directory, path, flags, mode);
    }
};

// Runs a test once where unnamed files exist and once where they do not.
class ReplaceFileEitherWay : public ReplaceFile, public ::testing::WithParamInterface<bool> {
protected:
    ReplaceFileEitherWay() {
        if (!unnamed()) {
            scope_.emplace(no_unnamed_files_);
        }
    }
    bool unnamed() const { return GetParam(); }
    // The calls that the faults a test plants forward to.
    SystemCalls& base_calls() { return system_calls(); }

private:
    NoUnnamedFiles no_unnamed_files_;
    std::optional<ScopedSystemCalls> scope_;
};

INSTANTIATE_TEST_SUITE_P(Files, ReplaceFileEitherWay, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unnamed" : "Named"; });

TEST_P(ReplaceFileEitherWay, NewFileReplacesTheTargetOnlyAtCommit) {
    const std::string target = path("state.kyr");
    put(target, "old contents");
    const ino_t old_inode = status(target).st_ino;
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    EXPECT_FALSE(file->writes_in_place());
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    const auto during = listing();
    if (unnamed()) {
        EXPECT_EQ(during, std::set<std::string>{"state.kyr"});
    } else {
        ASSERT_EQ(during.size(), 2u);
        EXPECT_TRUE(is_temporary_name(*during.begin(), "state.kyr")) << *during.begin();
    }
    EXPECT_EQ(contents(target), "old contents");

    ASSERT_TRUE(file->commit());
    EXPECT_EQ(contents(target), "new");
    EXPECT_NE(status(target).st_ino, old_inode);
    EXPECT_EQ(listing(), std::set<std::string>{"state.kyr"});
}

TEST_P(ReplaceFileEitherWay, AbandonedWriteLeavesOnlyTheTarget) {
    const std::string target = path("state.kyr");
    put(target, "old contents");
    {
        auto file = ReplacementFile::open(target, never_stop());
        ASSERT_TRUE(file);
        ASSERT_EQ(write(file->fd(), "partial", 7), 7);
    }
    EXPECT_EQ(contents(target), "old contents");
    EXPECT_EQ(listing(), std::set<std::string>{"state.kyr"});
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
    EXPECT_EQ(listing().size(), 1u);
}

TEST_F(ReplaceFile, NewFileHasNoNameUntilCommitted) {
    const std::string target = path("state.kyr");
    for (const bool commit : {false, true}) {
        auto file = ReplacementFile::open(target, never_stop());
        ASSERT_TRUE(file);
        EXPECT_FALSE(file->writes_in_place());
        EXPECT_FALSE(file->replaces_existing_file());
        ASSERT_EQ(write(file->fd(), "new", 3), 3);
        EXPECT_EQ(listing().size(), 0u);
        if (commit) {
            ASSERT_TRUE(file->commit());
        }
    }
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(listing().size(), 1u);
}

TEST_F(ReplaceFile, FileCreatedAtTheTargetMeanwhileIsReplacedWhole) {
    const std::string target = path("state.kyr");
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    put(target, "created meanwhile");
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(listing().size(), 1u);
}

// Kernels before 6.10 refuse linkat(AT_EMPTY_PATH) to unprivileged callers,
// with ENOENT (EPERM in some versions); the unnamed file must then be linked
// through /proc.
class RefusesEmptyPathLinks : public SystemCalls {
public:
    explicit RefusesEmptyPathLinks(int code) : code_(code) {}
    int linkat(int from_directory, const char* from, int to_directory, const char* to,
               int flags) override {
        if ((flags & AT_EMPTY_PATH) != 0) {
            ++refused;
            errno = code_;
            return -1;
        }
        return SystemCalls::linkat(from_directory, from, to_directory, to, flags);
    }
    int refused = 0;

private:
    int code_;
};

struct LinkCase {
    int code;
    const char* target;  // "none", "meanwhile" (created while writing), "before"
};

class ReplaceFileLinks : public ReplaceFile, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(ReplaceFileLinks, UnnamedFileIsLinkedWhetherOrNotEmptyPathLinksAreAllowed) {
    const std::string when = GetParam().target;
    const std::string target = path("state.kyr");
    if (when == "before") {
        put(target, "old");
    }
    RefusesEmptyPathLinks calls(GetParam().code);
    const ScopedSystemCalls scope(calls);
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    if (when == "meanwhile") {
        put(target, "created meanwhile");
    }
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(listing().size(), 1u);
    // At the target; there, then under a hidden name; under a hidden name.
    EXPECT_EQ(calls.refused, when == "meanwhile" ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ReplaceFileLinks,
    ::testing::Values(LinkCase{ENOENT, "none"}, LinkCase{ENOENT, "meanwhile"},
                      LinkCase{ENOENT, "before"}, LinkCase{EPERM, "none"},
                      LinkCase{EPERM, "meanwhile"}, LinkCase{EPERM, "before"}),
    [](const auto& info) {
        return std::string(info.param.code == EPERM ? "Eperm" : "Enoent") + "Target" +
               info.param.target;
    });

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

// Checks, whenever the new file gets a name (created named, linked, renamed),
// that it grants nobody more than the final mode `allowed` does.
class ExposureWatch : public SystemCalls {
public:
    ExposureWatch(SystemCalls& base, mode_t allowed) : base_(base), allowed_(allowed) {}
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        const int fd = base_.openat(directory, path, flags, mode);
        if (fd >= 0 && (flags & (O_CREAT | O_TMPFILE)) != 0) {
            created_ = fd;
            if ((flags & O_CREAT) != 0) {
                check("created");
            }
        }
        return fd;
    }
    int linkat(int from_directory, const char* from, int to_directory, const char* to,
               int flags) override {
        const int result = base_.linkat(from_directory, from, to_directory, to, flags);
        if (result == 0) {
            check("linked");
        }
        return result;
    }
    int renameat(int from_directory, const char* from, int to_directory, const char* to) override {
        struct stat info {};
        EXPECT_EQ(fstatat(from_directory, from, &info, AT_SYMLINK_NOFOLLOW), 0);
        check("renamed", info.st_mode);
        return base_.renameat(from_directory, from, to_directory, to);
    }
    std::vector<std::string> events;

private:
    void check(const char* event) {
        struct stat info {};
        EXPECT_EQ(fstat(created_, &info), 0);
        check(event, info.st_mode);
    }
    void check(const char* event, mode_t mode) {
        events.push_back(event);
        EXPECT_EQ(mode & 07777 & ~allowed_, 0u) << event << " with mode 0" << std::oct << (mode & 07777);
    }

    SystemCalls& base_;
    mode_t allowed_;
    int created_ = -1;
};

TEST_P(ReplaceFileEitherWay, NamedNewFileNeverGrantsMoreThanTheFinalMode) {
    const mode_t previous = umask(022);
    for (const mode_t final_mode : {0600, 0640, 0604, 0400, 0644}) {
        const std::string target = path("state.kyr");
        put(target, "secret");
        ASSERT_EQ(chmod(target.c_str(), final_mode), 0);
        ExposureWatch watch(base_calls(), final_mode);
        {
            const ScopedSystemCalls scope(watch);
            replace(target, "more secret");
        }
        EXPECT_EQ(status(target).st_mode & 07777, final_mode);
        EXPECT_EQ(contents(target), "more secret");
        const std::vector<std::string> named_when = {unnamed() ? "linked" : "created", "renamed"};
        EXPECT_EQ(watch.events, named_when);
    }
    umask(previous);
}

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
    EXPECT_EQ(listing(path("data")).size(), 1u);
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
    EXPECT_TRUE(file->writes_in_place());
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(status(target).st_ino, inode);
    EXPECT_EQ(contents(path("other-name.kyr")), "new");
}

// A descriptor link names a file or pipe open in some process: the bytes go
// into it, whichever way the link is reached.
struct DescriptorCase {
    const char* form;  // "/dev/fd/", "/proc/self/fd/", or "link" (a symlink to /dev/fd/N)
    bool pipe;
};

class ReplaceFileDescriptorLinks : public ReplaceFile,
                                   public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(ReplaceFileDescriptorLinks, OpenFileOrPipeIsWrittenInPlace) {
    const std::string opened = path("opened.kyr");
    int ends[2] = {-1, -1};
    if (GetParam().pipe) {
        ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);  // a read finds what the save wrote, or fails
    } else {
        put(opened, "old contents");
        ends[1] = ::open(opened.c_str(), O_WRONLY);
        ASSERT_GE(ends[1], 0);
    }
    const std::string fd = std::to_string(ends[1]);
    const std::string form = GetParam().form;
    std::string target = form + fd;
    if (form == "link") {
        target = path("link.kyr");
        fs::create_symlink("/dev/fd/" + fd, target);
    }
    const ino_t inode = GetParam().pipe ? 0 : status(opened).st_ino;
    const auto before = listing();

    replace(target, "new");
    if (GetParam().pipe) {
        char received[8] = {};
        ASSERT_EQ(read(ends[0], received, sizeof received), 3);
        EXPECT_EQ(std::string(received, 3), "new");
        ::close(ends[0]);
    } else {
        EXPECT_EQ(status(opened).st_ino, inode);
        EXPECT_EQ(contents(opened), "new");
    }
    ::close(ends[1]);
    EXPECT_EQ(listing(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ReplaceFileDescriptorLinks,
    ::testing::Values(DescriptorCase{"/dev/fd/", false}, DescriptorCase{"/dev/fd/", true},
                      DescriptorCase{"/proc/self/fd/", false}, DescriptorCase{"/proc/self/fd/", true},
                      DescriptorCase{"link", false}, DescriptorCase{"link", true}),
    [](const auto& info) {
        const std::string form = info.param.form;
        return (form == "link" ? std::string("SymlinkToDevFd") : form == "/dev/fd/" ? "DevFd" : "ProcSelfFd") +
               (info.param.pipe ? "OnPipe" : "OnFile");
    });

TEST_F(ReplaceFile, DevicesAreWrittenInPlace) {
    auto file = ReplacementFile::open("/dev/null", never_stop());
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->writes_in_place());
    ASSERT_TRUE(file->commit());
    EXPECT_TRUE(S_ISCHR(status("/dev/null").st_mode));
}

TEST_F(ReplaceFile, LongNamesStillGetATemporaryFile) {
    const std::string target = path(std::string(250, 'n'));
    put(target, "old");
    NoUnnamedFiles calls;
    const ScopedSystemCalls scope(calls);
    replace(target, "new");
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(listing().size(), 1u);
}

// --- the folder renamed while the save runs ----------------------------------

// Moves the folder `from` to `to` and makes a new, empty `from` at the first
// write, as another program tidying up might.
class MovesFolderAtFirstWrite : public SystemCalls {
public:
    MovesFolderAtFirstWrite(SystemCalls& base, std::string from, std::string to)
        : base_(base), from_(std::move(from)), to_(std::move(to)) {}
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        return base_.openat(directory, path, flags, mode);
    }
    ssize_t write(int fd, const void* buffer, std::size_t bytes) override {
        if (!moved_) {
            moved_ = true;
            EXPECT_EQ(rename(from_.c_str(), to_.c_str()), 0);
            EXPECT_EQ(mkdir(from_.c_str(), 0755), 0);
        }
        return base_.write(fd, buffer, bytes);
    }

private:
    SystemCalls& base_;
    std::string from_;
    std::string to_;
    bool moved_ = false;
};

TEST_P(ReplaceFileEitherWay, SaveFollowsTheFolderWhereverItWent) {
    for (const bool commit : {true, false}) {
        fs::remove_all(path("data"));
        fs::remove_all(path("moved"));
        fs::create_directory(path("data"));
        put(path("data/state.kyr"), "old");
        MovesFolderAtFirstWrite calls(base_calls(), path("data"), path("moved"));
        const ScopedSystemCalls scope(calls);
        {
            auto file = ReplacementFile::open(path("data/state.kyr"), never_stop());
            ASSERT_TRUE(file);
            ASSERT_EQ(system_calls().write(file->fd(), "new", 3), 3);
            if (commit) {
                ASSERT_TRUE(file->commit());
            }
        }
        EXPECT_EQ(contents(path("moved/state.kyr")), commit ? "new" : "old");
        EXPECT_EQ(listing(path("moved")), std::set<std::string>{"state.kyr"}) << commit;
        EXPECT_EQ(listing(path("data")), std::set<std::string>{}) << commit;
    }
}

// --- failures at commit and name collisions ----------------------------------

class FailingRename : public SystemCalls {
public:
    explicit FailingRename(SystemCalls& base) : base_(base) {}
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        return base_.openat(directory, path, flags, mode);
    }
    int renameat(int, const char*, int, const char*) override {
        ++renames;
        errno = EIO;
        return -1;
    }
    int renames = 0;

private:
    SystemCalls& base_;
};

TEST_P(ReplaceFileEitherWay, CommitFailsAndLeavesTheOldFile) {
    const std::string target = path("state.kyr");
    put(target, "old");
    FailingRename calls(base_calls());
    const ScopedSystemCalls scope(calls);
    auto file = ReplacementFile::open(target, never_stop());
    ASSERT_TRUE(file);
    ASSERT_EQ(write(file->fd(), "new", 3), 3);
    const auto committed = file->commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().message, "Write error: Input/output error (os error 5)");
    EXPECT_EQ(calls.renames, 1);
    EXPECT_EQ(contents(target), "old");
    EXPECT_EQ(listing(), std::set<std::string>{"state.kyr"});
}

// Another process holds the first `collisions` hidden names tried, whether
// the file is created under one or linked to one.
class CollidingNames : public SystemCalls {
public:
    CollidingNames(SystemCalls& base, int collisions) : base_(base), left_(collisions) {}
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        if ((flags & O_EXCL) != 0 && collide(path)) {
            return -1;
        }
        return base_.openat(directory, path, flags, mode);
    }
    int linkat(int from_directory, const char* from, int to_directory, const char* to,
               int flags) override {
        if (collide(to)) {
            return -1;
        }
        return base_.linkat(from_directory, from, to_directory, to, flags);
    }
    std::set<std::string> tried;

private:
    bool collide(const char* path) {
        if (std::string(path).find(".saving-") == std::string::npos) {
            return false;
        }
        tried.insert(path);
        if (left_ == 0) {
            return false;
        }
        --left_;
        errno = EEXIST;
        return true;
    }
    SystemCalls& base_;
    int left_;
};

TEST_P(ReplaceFileEitherWay, TakenHiddenNamesAreSkipped) {
    const std::string target = path("state.kyr");
    put(target, "old");
    CollidingNames calls(base_calls(), 3);
    const ScopedSystemCalls scope(calls);
    replace(target, "new");
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(calls.tried.size(), 4u);  // three taken, each a fresh name
    EXPECT_EQ(listing(), std::set<std::string>{"state.kyr"});
}

// --- no descriptor free for the folder ---------------------------------------

// Every descriptor but one is taken: folders cannot be opened.
class NoDescriptorForFolders : public SystemCalls {
public:
    int open(const char* path, int flags, mode_t mode) override {
        if ((flags & O_DIRECTORY) != 0) {
            ++refused;
            errno = EMFILE;
            return -1;
        }
        return SystemCalls::open(path, flags, mode);
    }
    int refused = 0;
};

TEST_F(ReplaceFile, FolderWithoutADescriptorIsNamedByItsPath) {
    fs::create_directory(path("data"));
    NoDescriptorForFolders calls;
    const ScopedSystemCalls scope(calls);
    for (const char* text : {"new", "newer"}) {
        replace(path("data/state.kyr"), text);
        EXPECT_EQ(contents(path("data/state.kyr")), text);
        EXPECT_EQ(listing(path("data")), std::set<std::string>{"state.kyr"});
    }
    EXPECT_GE(calls.refused, 2);
}

// --- extended attributes and ACLs --------------------------------------------

// Where the new file cannot take the replaced file's attributes (a filesystem
// that stores fewer of them, a full attribute block), the target is written
// in place instead, attributes and all.
class RefusedAttributes : public SystemCalls {
public:
    int fsetxattr(int, const char*, const void*, std::size_t, int) override {
        ++refused;
        errno = E2BIG;
        return -1;
    }
    int refused = 0;
};

TEST_F(ReplaceFile, UserAttributesMoveWithTheFileOrItIsWrittenInPlace) {
    const std::string target = path("state.kyr");
    put(target, "old contents");
    if (setxattr(target.c_str(), "user.origin", "lab 7", 5, 0) != 0) {
        GTEST_SKIP() << "no user.* attributes here";
    }
    const auto origin = [&] {
        char value[16] = {};
        const ssize_t got = getxattr(target.c_str(), "user.origin", value, sizeof value);
        return got < 0 ? std::string("none") : std::string(value, static_cast<std::size_t>(got));
    };
    const ino_t inode = status(target).st_ino;
    replace(target, "new");
    EXPECT_EQ(contents(target), "new");
    EXPECT_NE(status(target).st_ino, inode);
    EXPECT_EQ(origin(), "lab 7");

    const ino_t replaced = status(target).st_ino;
    RefusedAttributes calls;
    {
        const ScopedSystemCalls scope(calls);
        replace(target, "newer");
    }
    EXPECT_EQ(calls.refused, 1);
    EXPECT_EQ(contents(target), "newer");
    EXPECT_EQ(status(target).st_ino, replaced);
    EXPECT_EQ(origin(), "lab 7");
    EXPECT_EQ(listing(), std::set<std::string>{"state.kyr"});
}

}  // namespace
}  // namespace kyr
