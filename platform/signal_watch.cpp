#include "platform/signal_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace bi::platform {
namespace {

// The write end of the newest watch's self-pipe; -1 when none.
volatile sig_atomic_t gSignalPipe = -1;

void onCloseSignal(int signo) {
    const int savedErrno = errno;
    const int fd = gSignalPipe;
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signo);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

// The handler only writes a byte into a pipe; the watch's thread does the rest.
SignalWatch::SignalWatch(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    reader_ = std::thread([this] { readLoop(); });
    previousPipe_ = gSignalPipe;
    gSignalPipe = pipe_[1];
    struct sigaction action {};
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &action, &previous_[i]);
    }
}

SignalWatch::~SignalWatch() {
    if (pipe_[1] < 0) return;
    for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    gSignalPipe = previousPipe_;
    const unsigned char quit = 0;
    while (::write(pipe_[1], &quit, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void SignalWatch::readLoop() {
    for (;;) {
        pollfd pfd{pipe_[0], POLLIN, 0};
        if (::poll(&pfd, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        unsigned char byte = 0;
        const ssize_t n = ::read(pipe_[0], &byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0 || byte == 0) return;
        onSignal_();
    }
}

}  // namespace bi::platform
