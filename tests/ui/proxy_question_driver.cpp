// Downloads argv[1] through the environment's proxy and, when the proxy asks for a user name
// and password, asks on the terminal and tries again, as the download run does. Prints how it
// ended: "downloaded", "refused" (three answers were not accepted) or "not asked".
#include <future>
#include <iostream>

#include "net/proxy_credentials.h"
#include "net/url.h"
#include "net/url_session.h"
#include "ui/proxy_question.h"

namespace {

struct Delegate : bi::net::DownloadDelegate {
    std::promise<std::optional<bi::net::TransferError>> ended;
    long status = 0;
    void onProgress(bi::net::DownloadTask&, int64_t, int64_t, int64_t) override {}
    void onArrived(bi::net::DownloadTask& task, const std::string&) override { status = task.response().statusCode; }
    void onEnded(bi::net::DownloadTask&, const std::optional<bi::net::TransferError>& error) override {
        ended.set_value(error);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 64;
    Delegate delegate;
    const auto session = bi::net::makeUrlSession(delegate);
    for (;;) {
        delegate.ended = {};
        auto ended = delegate.ended.get_future();
        session->downloadTask(argv[1]).resume();
        const auto error = ended.get();
        if (!error) {
            std::cout << (delegate.status == 200 ? "downloaded" : "status " + std::to_string(delegate.status)) << "\n";
            return 0;
        }
        if (error->kind == bi::net::TransferErrorKind::ProxyRefused) {
            std::cout << "refused\n";
            return 2;
        }
        auto login = error->kind == bi::net::TransferErrorKind::ProxyAuth
                         ? bi::ui::askProxyLoginOnTerminal(bi::net::splitUrl(error->proxy).host, error->proxyRefusals)
                         : std::nullopt;
        if (!login) {
            std::cout << "not asked: " << error->reason << "\n";
            return 1;
        }
        session->setProxyCredentials(error->proxy, std::move(login->user), std::move(login->password));
    }
}
