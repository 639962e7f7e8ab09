#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st{};
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
    ProcessOptions options;
    options.cwd = staging.path();
    const auto r = runProcess(argv, options);
    if (r.exitStatus != 0) throw std::runtime_error("zip failed for " + archive + ": " + r.err);
}

void makeCertificate(const std::string& dir) {
    const auto made = runProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                  "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                                  "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", dir + "/key.pem", "-out",
                                  dir + "/cert.pem"});
    if (made.exitStatus != 0) throw std::runtime_error("openssl failed: " + made.err);
}

std::string recordingAgentScript() {
    return "#!/bin/sh\n"
           ": \"${AGENT_RECORD:?}\"\n"
           "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$AGENT_RECORD\"\n"
           "if [ -n \"${AGENT_SELF:-}\" ]; then printf '%s' \"$0\" > \"$AGENT_SELF\"; fi\n"
           "if [ -n \"${AGENT_RUNS:-}\" ]; then echo run >> \"$AGENT_RUNS\"; fi\n"
           "if [ -n \"${AGENT_SIGNALS:-}\" ]; then grep SigIgn /proc/$$/status > \"$AGENT_SIGNALS\"; fi\n"
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
    Bundle b;
    b.root = parent + "/" + name;
    b.executable = b.root + "/Contents/MacOS/setup";
    b.resources = b.root + "/Contents/Resources";
    makeDirs(parent);
    ScratchDir product;
    makeZip(product / "bundle.zip", {{"payload.txt", "the product"}});
    // The vendor's tool assembles it; each test then names its own URL, if any.
    std::vector<std::string> argv = {BI_MAKE_BUNDLE, "-o", b.root, "--name", "setup", "--bundle-zip",
                                     product / "bundle.zip", "--url", "http://127.0.0.1:9/unused", "--installer", installer};
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
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
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

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> envStrings = buildEnvironment(options);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    std::vector<char*> args;
    for (auto& a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);

    int master = -1, slave = -1;
    winsize size{24, options.terminalColumns, 0, 0};
    if (options.terminal && ::openpty(&master, &slave, nullptr, nullptr, options.terminalColumns > 0 ? &size : nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
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
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (slave >= 0) ::close(slave);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::thread watcher;
    if (options.onStart) watcher = std::thread(options.onStart, pid);
    if (!options.stdinData.empty()) {
        [[maybe_unused]] auto n = ::write(in[1], options.stdinData.data(), options.stdinData.size());
    }
    ::close(in[1]);

    ProcessResult result;
    const auto start = std::chrono::steady_clock::now(), deadline = start + options.timeout;
    // The terminal is read as long as output comes, but its end is not waited for.
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {master, POLLIN, 0}};
    std::string* sinks[3] = {&result.out, &result.err, &result.tty};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        if (::poll(fds, 3, static_cast<int>(left.count())) < 0) continue;
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
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
    for (auto& f : fds) {
        if (f.fd >= 0) ::close(f.fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (watcher.joinable()) watcher.join();
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

Daemon::Daemon(const std::vector<std::string>& argv, const std::function<bool()>& ready,
               const std::map<std::string, std::string>& env) {
    std::vector<std::string> argCopy = argv;
    std::vector<char*> args;
    for (auto& a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);
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
