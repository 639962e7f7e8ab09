// The stand-ins for newer glibc functions, in a program linked like the installer: the C++
// runtime inside it, the unwinder finding frames through our _dl_find_object.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace bi {

namespace {

int unwound = 0;
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

}  // namespace bi
