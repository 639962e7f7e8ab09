#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bi {

namespace fs = std::filesystem;

namespace testsupport {

ScratchDir::ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "bi-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() { removeTree(path_); }

void removeTree(const std::string& path) {
    std::error_code ec;
    // Tests may leave read-only directories behind; open them up so they can go.
    ::chmod(path.c_str(), 0700);
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(path, ec);
}

void writeFile(const std::string& path, const std::string& content, int mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

// In blocks: a character at a time takes seconds for the installer under the sanitizers.
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string content;
    for (char block[1 << 16]; in.read(block, sizeof block) || in.gcount() > 0;) content.append(block, in.gcount());
    return content;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void makeDirs(const std::string& path) { fs::create_directories(path); }

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}

void makeZip(const std::string& archive, const std::map<std::string, std::string>& files) {
    ScratchDir staging;
    std::vector<std::string> argv = {"/usr/bin/zip", "-q", "-X", "-r", archive};
    for (const auto& [name, content] : files) {
        writeFile(staging / name, content, name == "install" ? 0755 : 0644);
        argv.push_back(name);
    }
    const auto r = runProcess(argv, {.cwd = staging.path()});
    if (r.exitStatus != 0) throw std::runtime_error("zip failed for " + archive + ": " + r.err);
}

void makeCertificate(const std::string& dir) {
    const auto made =
        runProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"});
    if (made.exitStatus != 0) throw std::runtime_error("openssl failed: " + made.err);
}

std::string recordingAgentScript() {
    return "#!/bin/sh\n"
           ": \"${AGENT_RECORD:?}\"\n"
           "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$AGENT_RECORD\"\n"
           "if [ -n \"${AGENT_SELF:-}\" ]; then printf '%s' \"$0\" > \"$AGENT_SELF\"; fi\n"
           "if [ -n \"${AGENT_RUNS:-}\" ]; then echo run >> \"$AGENT_RUNS\"; fi\n"
           "if [ -n \"${AGENT_SIGNALS:-}\" ]; then grep SigIgn /proc/$$/status > \"$AGENT_SIGNALS\"; fi\n"
           "if [ -n \"${AGENT_FDS:-}\" ]; then ls -l /proc/$$/fd > \"$AGENT_FDS\"; fi\n"
           "exit \"${AGENT_EXIT:-0}\"\n";
}

std::vector<std::string> splitRecord(const std::string& record) {
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t nul = record.find('\0'); nul != std::string::npos; nul = record.find('\0', start)) {
        args.push_back(record.substr(start, nul - start));
        start = nul + 1;
    }
    return args;
}

Bundle makeBundle(const std::string& installer, const std::string& parent, const std::string& name) {
    const std::string root = parent + "/" + name;
    const Bundle b{root, root + "/Contents/MacOS/setup", root + "/Contents/Resources"};
    makeDirs(parent);
    ScratchDir product;
    makeZip(product / "bundle.zip", {{"payload.txt", "the product"}});
    // The vendor's tool assembles it; each test then names its own URL, if any.
    // clang-format off
    std::vector<std::string> argv = {BI_MAKE_BUNDLE, "-o", b.root, "--name", "setup", "--bundle-zip", product / "bundle.zip",
                                     "--url", "http://127.0.0.1:9/unused", "--installer", installer};
    // clang-format on
#ifdef BI_MAKE_BUNDLE_KEEPS_SYMBOLS
    argv.push_back("--no-strip");
#endif
    const auto made = runProcess(argv);
    if (made.exitStatus != 0) throw std::runtime_error("make-bundle failed: " + made.err);
    ::unlink((b.resources + "/installAgentURL.txt").c_str());
    return b;
}

namespace {

std::vector<std::string> buildEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (const auto eq = entry.find('='); eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : options.env) {
        if (value) {
            env[key] = *value;
        } else {
            env.erase(key);
        }
    }
    std::vector<std::string> flat;
    for (const auto& [key, value] : env) flat.push_back(key + "=" + value);
    return flat;
}

// The null-terminated array execve wants, pointing into strings.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> envStrings = buildEnvironment(options), argCopy = argv;
    const auto envp = pointers(envStrings), args = pointers(argCopy);

    int master = -1, slave = -1;
    winsize size{24, options.terminalColumns, 0, 0};
    if (options.terminal &&
        ::openpty(&master, &slave, nullptr, nullptr, options.terminalColumns > 0 ? &size : nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    const bool traced = static_cast<bool>(options.atExit);
    ProcessResult result;
    const auto start = std::chrono::steady_clock::now(), deadline = start + options.timeout;
    const auto since = [start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // nothing left running by a test or benchmark that ended
        ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
        if (options.terminal) {
            ::setsid();  // also a process group of its own
            if (::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(126);
            ::dup2(slave, 0);
            if (options.terminalColumns > 0) ::dup2(slave, 2);
            ::close(slave);
            ::close(master);
        } else {
            ::setpgid(0, 0);
        }
        // Stopped until the parent has set up the trace, so that no exit can escape it.
        if (traced && (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || ::raise(SIGSTOP) != 0)) ::_exit(126);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    for (const int fd : {slave, out[1], err[1]}) ::close(fd);
    int status = 0;
    rusage usage{};
    if (traced && ::waitpid(pid, &status, __WALL) == pid && WIFSTOPPED(status)) {
        ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
        ::ptrace(PTRACE_CONT, pid, nullptr, 0);
    }
    // Waits for the child, letting a traced one go on from each stop; true once it has ended.
    const auto reap = [&](bool block) {
        for (;;) {
            const pid_t r = ::wait4(pid, &status, __WALL | (block ? 0 : WNOHANG), &usage);
            if (r <= 0 || !WIFSTOPPED(status)) return r != 0;
            if (status >> 16 == PTRACE_EVENT_EXIT) options.atExit(pid);
            ::ptrace(PTRACE_CONT, pid, nullptr, status >> 16 != 0 ? 0 : WSTOPSIG(status));
        }
    };
    std::thread watcher;
    if (options.onStart) watcher = std::thread(options.onStart, pid);

    // The terminal is read as long as output comes, but its end is not waited for.
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {master, POLLIN, 0}};
    std::string* sinks[3] = {&result.out, &result.err, &result.tty};
    bool ended = false;
    for (int open = 2; open > 0;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        // A traced child waits at each of its stops: look at it often.
        if (::poll(fds, 3, traced ? 5 : static_cast<int>(left.count())) < 0) continue;
        if (traced && !ended) ended = reap(false);
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                if (i == 0 && result.firstLineSeconds < 0 &&
                    std::memchr(buf, '\n', static_cast<size_t>(n)) != nullptr) {
                    result.firstLineSeconds = since();
                }
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                if (i < 2) --open;
            }
        }
    }
    // What it wrote last to the terminal is still to be read.
    for (char buf[4096]; fds[2].fd >= 0 && ::poll(&fds[2], 1, 200) > 0;) {
        const ssize_t n = ::read(fds[2].fd, buf, sizeof buf);
        if (n <= 0) break;
        result.tty.append(buf, static_cast<size_t>(n));
    }
    for (const auto& f : fds) ::close(f.fd);
    if (!ended) reap(true);
    result.seconds = since();
    if (watcher.joinable()) watcher.join();
    result.maxRssKiB = usage.ru_maxrss;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

Daemon::Daemon(const std::vector<std::string>& argv, const std::function<bool()>& ready,
               const std::map<std::string, std::string>& env) {
    std::vector<std::string> argCopy = argv;
    const auto args = pointers(argCopy);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // no server left behind by a test that crashed
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    for (int i = 0; i < 500 && !(ready_ = ready()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

Daemon::~Daemon() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

}  // namespace testsupport

}  // namespace bi
