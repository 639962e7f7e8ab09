#include "bench_support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace bi {

namespace bench {
namespace {

pid_t gNginx = 0;
fs::path gScratch;

void cleanUp() {
    stopNginx();
    if (!gScratch.empty()) {
        std::error_code ignored;
        fs::remove_all(gScratch, ignored);
        gScratch.clear();
    }
}

void onSignal(int signo) {
    // The children share our process group and get the signal too; exit runs the clean-up.
    std::exit(128 + signo);
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "benchmark: %s\n", what.c_str());
    std::exit(1);
}

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}

bool accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(s);
    return ok;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A field of /proc/PID/status in KiB; -1 if absent.
long statusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

fs::path makeScratch(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) die("cannot make a scratch directory in " + tmpl);
    gScratch = tmpl;
    std::atexit(cleanUp);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, onSignal);
    return gScratch;
}

void writeRandomFile(const fs::path& path, uint64_t size, uint64_t seed) {
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    uint64_t x = 0x9e3779b97f4a7c15ULL ^ (seed * 0xbf58476d1ce4e5b9ULL);
    std::ofstream out(path, std::ios::binary);
    for (uint64_t done = 0; done < size;) {
        for (auto& word : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        const uint64_t n = std::min<uint64_t>(size - done, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
    if (!out.flush()) die("cannot write " + path.string());
}

Nginx startNginx(const fs::path& root, const fs::path& dir) {
    fs::create_directories(dir / "tmp");
    Nginx n;
    n.port = freePort();
    n.accessLog = dir / "access.log";
    const std::string d = dir.string();
    std::ofstream conf(dir / "nginx.conf");
    // Workers run as root only when the master does; otherwise they could not read the
    // private scratch directory.
    if (::geteuid() == 0) conf << "user root;\n";
    conf << "worker_processes 1;\npid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
         << "events { worker_connections 64; }\nhttp {\n"
         << "  log_format bytes '$status $body_bytes_sent $request_time \"$request\"';\n"
         << "  access_log " << n.accessLog.string() << " bytes;\n  sendfile on;\n"
         << "  default_type application/octet-stream;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "  " << temp << "_temp_path " << d << "/tmp/" << temp << ";\n";
    }
    conf << "  server { listen 127.0.0.1:" << n.port << "; root " << root.string() << "; }\n}\n";
    conf.close();
    gNginx = ::fork();
    if (gNginx == 0) {
        ::execl("/usr/sbin/nginx", "nginx", "-p", (d + "/").c_str(), "-c", (d + "/nginx.conf").c_str(), "-e",
                (d + "/error.log").c_str(), "-g", "daemon off;", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100 && !accepts(n.port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!accepts(n.port)) die("nginx did not start:\n" + readAll(dir / "error.log"));
    return n;
}

void stopNginx() {
    if (gNginx > 0) {
        ::kill(gNginx, SIGTERM);
        ::waitpid(gNginx, nullptr, 0);
        gNginx = 0;
    }
}

std::vector<LogLine> readAccessLog(const fs::path& log, uintmax_t skip) {
    std::ifstream in(log);
    in.seekg(static_cast<std::streamoff>(skip));
    std::vector<LogLine> lines;
    std::string text;
    while (std::getline(in, text)) {
        LogLine l;
        std::istringstream fields(text);
        fields >> l.status >> l.bodyBytes >> l.requestSeconds;
        const auto quote = text.find('"');
        if (quote != std::string::npos) l.request = text.substr(quote + 1, text.rfind('"') - quote - 1);
        lines.push_back(l);
    }
    return lines;
}

ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    const bool reads = options.timeFirstLine || options.readStderr;
    // A traced child stops at each signal until we let it go on: we must not block reading it.
    if (options.traceExit && reads) die("a traced child cannot also be read");
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int go[2];      // the child execs only once the parent has seized it
    int output[2] = {-1, -1};  // its standard output, when the first line is timed
    int errors[2] = {-1, -1};  // its standard error, when read
    if (::pipe2(go, O_CLOEXEC) != 0) die("pipe");
    if (options.timeFirstLine && ::pipe2(output, O_CLOEXEC) != 0) die("pipe");
    if (options.readStderr && ::pipe2(errors, O_CLOEXEC) != 0) die("pipe");

    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        const int out = options.timeFirstLine ? output[1] : ::open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = options.readStderr ? errors[1] : ::open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& [name, value] : options.env) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
        char byte = 0;
        ::close(go[1]);
        if (::read(go[0], &byte, 1) != 1) ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(go[0]);
    if (options.traceExit && ::ptrace(PTRACE_SEIZE, pid, nullptr, PTRACE_O_TRACEEXIT) != 0) {
        die(std::string("cannot trace the child: ") + std::strerror(errno));
    }
    const char byte = 1;
    if (::write(go[1], &byte, 1) != 1) die("cannot start the child");
    ::close(go[1]);
    std::thread watcher;
    if (options.whileRunning) watcher = std::thread(options.whileRunning, pid);

    ChildResult result;
    if (reads) {
        if (output[1] >= 0) ::close(output[1]);
        if (errors[1] >= 0) ::close(errors[1]);
        pollfd fds[3] = {{output[0], POLLIN, 0}, {errors[0], POLLIN, 0}, {options.watchFd, POLLIN, 0}};
        std::string partial;
        char buf[4096];
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                die("poll");
            }
            if (fds[2].fd >= 0 && fds[2].revents != 0 && options.watchHit(fds[2].fd)) {
                result.watchSeconds = since(start);
                fds[2].fd = -1;  // once is enough
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    continue;
                }
                const double now = since(start);
                if (i == 0) {
                    if (result.firstLineSeconds < 0 && std::memchr(buf, '\n', static_cast<size_t>(n)) != nullptr) {
                        result.firstLineSeconds = now;
                    }
                    continue;
                }
                partial.append(buf, static_cast<size_t>(n));
                for (size_t eol; (eol = partial.find('\n')) != std::string::npos;) {
                    result.stderrLines.push_back({now, partial.substr(0, eol)});
                    partial.erase(0, eol + 1);
                }
            }
        }
        if (!partial.empty()) result.stderrLines.push_back({since(start), partial});
    }

    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t r = ::wait4(pid, &status, __WALL, &usage);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) die("wait4");
        if (!WIFSTOPPED(status)) break;
        const int event = status >> 16;
        if (event == PTRACE_EVENT_EXIT) {
            // Still whole: its memory goes only after this stop.
            result.hwmKiB = statusKiB(pid, "VmHWM");
            result.anonKiB = statusKiB(pid, "RssAnon");
            result.fileKiB = statusKiB(pid, "RssFile");
            ::ptrace(PTRACE_CONT, pid, nullptr, 0);
        } else if (event != 0) {
            ::ptrace(PTRACE_CONT, pid, nullptr, 0);
        } else {
            // A signal on its way to the child: pass it on.
            ::ptrace(PTRACE_CONT, pid, nullptr, WSTOPSIG(status));
        }
    }
    result.seconds = since(start);
    if (watcher.joinable()) watcher.join();
    result.maxRssKiB = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (result.status != 0 && !options.mayFail) {
        std::string line;
        for (const auto& a : argv) line += a + " ";
        std::string err = options.stderrPath == "/dev/null" ? "discarded" : readAll(options.stderrPath);
        if (options.readStderr) {
            err.clear();
            for (const auto& l : result.stderrLines) err += l.text + "\n";
        }
        die("failed with status " + std::to_string(result.status) + ": " + line + "(stderr: " + err + ")");
    }
    return result;
}

std::optional<double> ChildResult::stderrNumberAfter(const std::string& text) const {
    for (const auto& l : stderrLines) {
        const auto at = l.text.find(text);
        if (at != std::string::npos) return std::strtod(l.text.c_str() + at + text.size(), nullptr);
    }
    return std::nullopt;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double maxOf(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string machine() {
    std::string cpu = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    long memKiB = 0;
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        if (line.rfind("MemTotal:", 0) == 0) memKiB = std::strtol(line.c_str() + 9, nullptr, 10);
    }
    utsname u{};
    ::uname(&u);
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s, %ld cores, %.1f GiB memory, Linux %s %s", cpu.c_str(),
                  ::sysconf(_SC_NPROCESSORS_ONLN), static_cast<double>(memKiB) / (1 << 20), u.release, u.machine);
    return buf;
}

uint64_t freeBytes(const fs::path& path) {
    struct statvfs st{};
    if (::statvfs(path.c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace bench

}  // namespace bi
