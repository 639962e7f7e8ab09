// The start of the installer and the verify tool on any glibc. The start-up file of glibc 2.34
// and later leaves the program's constructors to libc's __libc_start_main, which older glibc
// does not do: it runs the function handed to it instead. The link wraps that call
// (-Wl,--wrap=__libc_start_main) and hands it the program's constructors, which every glibc
// then runs once.
using MainFunction = int (*)(int, char**, char**);
using InitFunction = void (*)(int, char**, char**);

// The linker's and glibc's names, which are reserved to them.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
int __real___libc_start_main(MainFunction main, int argc, char** argv, InitFunction init, void (*fini)(),
                             void (*rtldFini)(), void* stackEnd);
void _init();
// Set by the linker around the program's constructors.
extern InitFunction __init_array_start[] __attribute__((visibility("hidden")));
extern InitFunction __init_array_end[] __attribute__((visibility("hidden")));
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {

void runConstructors(int argc, char** argv, char** envp) {
    _init();
    for (InitFunction* f = __init_array_start; f != __init_array_end; ++f) (*f)(argc, argv, envp);
}

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the linker's --wrap calls.
extern "C" __attribute__((visibility("hidden"))) int __wrap___libc_start_main(MainFunction main, int argc, char** argv,
                                                                              InitFunction init, void (*fini)(),
                                                                              void (*rtldFini)(), void* stackEnd) {
    return __real___libc_start_main(main, argc, argv, init != nullptr ? init : runConstructors, fini, rtldFini,
                                    stackEnd);
}
