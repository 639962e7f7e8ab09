// The stand-ins for newer glibc functions, in a program linked like the installer: the C++
// runtime inside it, the unwinder finding frames through our _dl_find_object.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern "C" char __libc_single_threaded;  // NOLINT(bugprone-reserved-identifier): glibc's name

namespace bi {

namespace {

int unwound = 0;

// Counts the runs of this program's constructors, which its start hands to any glibc.
int constructed = 0;
struct CountsConstruction {
    CountsConstruction() { ++constructed; }
} countsConstruction;

// What the kernel itself says of a path (or of fd with an empty path).
struct stat kernelStat(int fd, const char* path, int flags) {
    struct stat buffer {};
    EXPECT_EQ(::syscall(SYS_newfstatat, fd, path, &buffer, flags), 0) << path;
    return buffer;
}

struct CountsUnwinding {
    ~CountsUnwinding() { ++unwound; }
};

[[noreturn]] __attribute__((noinline)) void throwFromDeep(int depth) {
    CountsUnwinding guard;
    if (depth == 0) throw std::out_of_range("deep");
    throwFromDeep(depth - 1);
}

// Called by libc's qsort: the exception crosses libc's frames on its way out.
int throwingCompare(const void*, const void*) {
    CountsUnwinding guard;
    throwFromDeep(3);
}

}  // namespace

TEST(GlibcCompat, ExceptionsUnwindThroughOurFramesAndLibcsAndRunEveryDestructor) {
    // This program's calls bind to its own copy, as the unwinder's do in the installer.
    Dl_info ours{}, program{};
    ASSERT_TRUE(::dladdr(reinterpret_cast<const void*>(&_dl_find_object), &ours) &&
                ::dladdr(reinterpret_cast<const void*>(&throwingCompare), &program));
    EXPECT_EQ(ours.dli_fbase, program.dli_fbase);
    unwound = 0;
    int items[2] = {2, 1};
    try {
        std::qsort(items, 2, sizeof items[0], throwingCompare);
        FAIL() << "qsort returned";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "deep");
    }
    EXPECT_EQ(unwound, 5);
    EXPECT_THROW(throwFromDeep(100), std::out_of_range);
    EXPECT_EQ(unwound, 5 + 101);
}

TEST(GlibcCompat, FindsWhatTheLoadersOwnFindObjectFinds) {
    using FindObject = int (*)(void*, dl_find_object*);
    const auto loaders = reinterpret_cast<FindObject>(::dlsym(RTLD_DEFAULT, "_dl_find_object"));
    if (loaders == nullptr) GTEST_SKIP() << "this glibc is older than 2.35 and has no _dl_find_object to compare with";
    int onTheStack = 0;
    // This program, libc, the loader, then addresses in no object.
    void* const addresses[] = {reinterpret_cast<void*>(&throwingCompare), ::dlsym(RTLD_DEFAULT, "qsort"),
                               reinterpret_cast<void*>(loaders), &onTheStack, nullptr};
    for (void* address : addresses) {
        dl_find_object ours{}, theirs{};
        const int found = _dl_find_object(address, &ours);
        ASSERT_EQ(found, loaders(address, &theirs)) << address;
        if (found != 0) continue;
        EXPECT_EQ(ours.dlfo_map_start, theirs.dlfo_map_start) << address;
        // The loader under qemu ends the program at its code; ours spans the whole object.
        EXPECT_GE(ours.dlfo_map_end, theirs.dlfo_map_end) << address;
        EXPECT_GT(ours.dlfo_map_end, address) << address;
        EXPECT_EQ(ours.dlfo_link_map, theirs.dlfo_link_map) << address;
        EXPECT_EQ(ours.dlfo_eh_frame, theirs.dlfo_eh_frame) << address;
        EXPECT_NE(ours.dlfo_eh_frame, nullptr) << address;
    }
}

// What glibc 2.17 lacks, defined in platform/glibc_compat.cpp, in a program linked like the
// installer: each as glibc's own would answer.
TEST(GlibcCompat, TheStandInsAnswerAsGlibcsOwnAndTheConstructorsRanOnce) {
    EXPECT_EQ(constructed, 1);
    EXPECT_EQ(__libc_single_threaded, 0);  // libstdc++ keeps its atomic counts
    // The stat family: /proc/self/exe is a link, which only lstat does not follow.
    const char* exe = "/proc/self/exe";
    struct stat followed {
    }, link{}, opened{};
    ASSERT_EQ(::stat(exe, &followed), 0);
    ASSERT_EQ(::lstat(exe, &link), 0);
    const int fd = ::open(exe, O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::fstat(fd, &opened), 0);
    const struct stat kernel = kernelStat(AT_FDCWD, exe, 0),
                      kernelLink = kernelStat(AT_FDCWD, exe, AT_SYMLINK_NOFOLLOW),
                      kernelOpened = kernelStat(fd, "", AT_EMPTY_PATH);
    ::close(fd);
    EXPECT_TRUE(followed.st_ino == kernel.st_ino && followed.st_size == kernel.st_size && S_ISREG(followed.st_mode));
    EXPECT_TRUE(link.st_ino == kernelLink.st_ino && S_ISLNK(link.st_mode));
    EXPECT_TRUE(opened.st_ino == kernelOpened.st_ino && opened.st_size == kernelOpened.st_size);
    struct stat64 followed64 {};
    EXPECT_TRUE(::stat64(exe, &followed64) == 0 && followed64.st_ino == kernel.st_ino);

    EXPECT_EQ(::gettid(), ::getpid());
    std::thread([] { EXPECT_EQ(::gettid(), ::syscall(SYS_gettid)); }).join();
    unsigned char random[64] = {}, zeros[64] = {};
    EXPECT_EQ(::getrandom(random, sizeof random, 0), static_cast<ssize_t>(sizeof random));
    EXPECT_NE(std::memcmp(random, zeros, sizeof random), 0);
}

// std::condition_variable's steady waits: a deadline passed, one that comes, a signal before
// it, and a clock that no wait takes.
TEST(GlibcCompat, ClockwaitEndsAtItsSteadyDeadlineOrItsSignal) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    const auto in = [](std::chrono::milliseconds ms) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const auto at = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) + ms;
        return timespec{static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(at).count()),
                        static_cast<long>((at % std::chrono::seconds(1)).count())};
    };
    ::pthread_mutex_lock(&mutex);
    timespec deadline = in(std::chrono::milliseconds(-1));
    EXPECT_EQ(::pthread_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &deadline), ETIMEDOUT);
    EXPECT_EQ(::pthread_cond_clockwait(&cond, &mutex, CLOCK_PROCESS_CPUTIME_ID, &deadline), EINVAL);
    const auto start = std::chrono::steady_clock::now();
    deadline = in(std::chrono::milliseconds(300));
    int ended = 0;
    while ((ended = ::pthread_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &deadline)) == 0) {
    }
    EXPECT_EQ(ended, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    bool signalled = false;
    std::thread other([&] {
        ::pthread_mutex_lock(&mutex);
        signalled = true;
        ::pthread_cond_signal(&cond);
        ::pthread_mutex_unlock(&mutex);
    });
    deadline = in(std::chrono::milliseconds(60'000));
    while (!signalled) ASSERT_EQ(::pthread_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &deadline), 0);
    ::pthread_mutex_unlock(&mutex);
    other.join();
}

}  // namespace bi
