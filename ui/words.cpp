#include "ui/words.h"

#include <cmath>

namespace bi::ui {

namespace {

using Kind = Trouble::Kind;

const char* const kTryLater = N_("Try again later. If it keeps failing, contact the vendor of the product.");
const char* const kDoNotRun = N_("Do not run this installer; contact the vendor of the product.");
const char* const kTransferError = N_("Error during the download process.");

std::string joined(const std::string& first, const char* then) { return first + " " + then; }

std::string httpSentence(long status, const Language& l) {
    if (status == 404 || status == 410) {
        return l.tr("The installer file is not on the server. Contact the vendor of the product.");
    }
    if (status == 401 || status == 403) {
        return l.tr("The server refused access to the installer file. Contact the vendor of the product.");
    }
    if (status == 408 || status == 429 || status >= 500)
        return l.tr("The server is busy or has a problem. Try again later.");
    return l.tr(kTryLater);
}

// What a failure of the transfer itself means, and what the person can do.
std::string transferSentence(const Trouble& t, const Language& l) {
    switch (t.kind) {
        case Kind::Unreachable:
            return l.tr(
                "The server cannot be reached. Check the internet connection and any proxy settings, then try "
                "again.");
        case Kind::NoAnswer:
            return l.tr(
                "The server did not answer in time. Check the internet connection and any proxy settings, then "
                "try again.");
        case Kind::ConnectionLost:
            return l.tr("The connection to the server was lost. Check the internet connection, then try again.");
        case Kind::Certificate:
            return l.format(l.tr("The certificate of the server %s is not trusted. Check that the date and time of "
                                 "this computer are right; a proxy or security program that inspects secure "
                                 "connections can also cause this."),
                            t.place.c_str());
        case Kind::NoCaStore:
            return l.tr(
                "This computer has no certificates to check the server with. Install the package of the "
                "system's CA certificates (ca-certificates), then try again.");
        case Kind::DiskFull:
        case Kind::NoSpace:
            if (t.free >= 0) {
                return l.format(
                    l.tr("The installer needs %s free in %s; %s are free. Free some space, then try again."),
                    sizeText(static_cast<double>(t.bytes), SizeUnits::Binary, l).c_str(), t.place.c_str(),
                    sizeText(static_cast<double>(t.free), SizeUnits::Binary, l).c_str());
            }
            if (t.bytes > 0) {
                return l.format(
                    l.tr("The disk is full: the installer needs %s of free space in %s. Free some space, then try "
                         "again."),
                    sizeText(static_cast<double>(t.bytes), SizeUnits::Binary, l).c_str(), t.place.c_str());
            }
            return l.format(
                l.tr("The disk is full: there is not enough free space in %s. Free some space, then try again."),
                t.place.c_str());
        case Kind::BadAddress:
            return l.tr("The download address of this installer does not work. Contact the vendor of the product.");
        case Kind::HeaderTooLarge:
            return l.tr("The server answered with a header that is too large. Contact the vendor of the product.");
        default:
            return l.tr(kTryLater);
    }
}

const char* retryFormat(RetryCause cause, const Language& l) {
    switch (cause) {
        case RetryCause::Busy:
            return l.tr("The server is busy. Trying again in %d s (attempt %d of %d)");
        case RetryCause::NoAnswer:
            return l.tr("The server stopped answering. Trying again in %d s (attempt %d of %d)");
        case RetryCause::Unreachable:
            return l.tr("The server cannot be reached. Trying again in %d s (attempt %d of %d)");
        case RetryCause::ConnectionLost:
            break;
    }
    return l.tr("Connection lost. Retrying in %d s (attempt %d of %d)");
}

}  // namespace

const char* refusalSentence(Refusal refusal) {
    switch (refusal) {
        case Refusal::Unsigned:
            return N_("The installer archive is not signed.");
        case Refusal::OtherKey:
            return N_("The installer archive is signed with another key.");
        case Refusal::OtherFile:
            return N_("The installer archive's signature is for another file.");
        case Refusal::Rollback:
            return N_("The installer archive is older than the installed one.");
        case Refusal::DamagedKey:
            return N_("The installer's signing key is damaged.");
        case Refusal::Retired:
            return N_("The installer archive is signed with a key that its vendor has retired.");
        case Refusal::BelowFloor:
            return N_("The installer archive is older than this installer accepts.");
        case Refusal::Expired:
            return N_("The installer archive has expired.");
        case Refusal::CachedExpired:
            return N_("The installer downloaded earlier has expired, and the server cannot be reached for a new one.");
        case Refusal::StatementInvalid:
            return N_("The installer's key statement is not valid.");
        case Refusal::StatementReadmits:
            return N_("The installer's key statement would trust a retired key again.");
        case Refusal::ChainTooLong:
            return N_("The installer's key statements form too long a chain.");
        case Refusal::Invalid:
            break;
    }
    return N_("The installer archive's signature is not valid.");
}

std::string troubleText(const Trouble& t, const Language& l) {
    switch (t.kind) {
        case Kind::HttpStatus:
            return l.format(l.tr("Download failed with error code %ld"), t.status) + ". " + httpSentence(t.status, l);
        case Kind::ProxyAuth:
            return joined(l.tr("The proxy server requires authentication."),
                          l.tr("Check the user name and password in the proxy settings (http_proxy, https_proxy)."));
        case Kind::Unreachable:
        case Kind::NoAnswer:
        case Kind::ConnectionLost:
        case Kind::Certificate:
        case Kind::NoCaStore:
        case Kind::DiskFull:
        case Kind::BadAddress:
        case Kind::HeaderTooLarge:
        case Kind::TransferFailed:
            return l.tr(kTransferError) + std::string(" ") + transferSentence(t, l);
        case Kind::NoSpace:
            return transferSentence(t, l);
        case Kind::NoLibrary:
            return l.tr("This installer needs libcurl to download the installer (package libcurl4 or libcurl).");
        case Kind::NotModifiedPlain:
            return l.format(l.tr("Download failed with error code %ld"), 304L) + ". " + l.tr(kTryLater);
        case Kind::NotZip:
            return joined(l.format(l.tr("The server did not send the installer archive (got %s)."),
                                   t.detail.empty() ? l.tr("no content type") : t.detail.c_str()),
                          l.tr("A network's sign-in page or a proxy may have answered instead. Sign in to the "
                               "network in a web browser, then try again."));
        case Kind::Refused:
            return joined(l.tr(refusalSentence(t.refusal)),
                          l.tr(t.refusal == Refusal::CachedExpired ? "Check the internet connection, then try again."
                                                                   : kDoNotRun));
        case Kind::Extraction:
            return joined(l.tr("Failed to unzip the installer."),
                          t.shipped ? l.tr("Contact the vendor of the product.") : l.tr(kTryLater));
        case Kind::CacheNotWritable:
            return l.format(l.tr("Failed to store the installer in %s"), t.place.c_str()) + ". " +
                   l.tr("Check that the disk has free space and that the folder belongs to you.");
        case Kind::CacheUntrusted:
            return l.format(l.tr("The installer cache cannot be trusted: %s"), t.detail.c_str());
        case Kind::NoUrlFile:
            return joined(l.format(l.tr("This installer has no download address: %s is missing."), t.place.c_str()),
                          l.tr("Contact the vendor of the product."));
        case Kind::NoProgram:
            return l.format(l.tr("The program %s, which the installer needs, is not installed. Install the package "
                                 "%s, then start the installer again."),
                            t.detail.c_str(), t.detail == "sh" ? "dash or bash" : t.detail.c_str());
        case Kind::NoHome:
            return l.format(l.tr("The home directory %s does not exist. Set HOME to your home directory, or ask your "
                                 "administrator to create it."),
                            t.place.c_str());
        case Kind::NoWorkDir:
            return joined(t.place.empty()
                              ? std::string(l.tr("The installer cannot make a private working directory in /tmp."))
                              : l.format(l.tr("The installer cannot make a private working directory in %s or in "
                                              "/tmp."),
                                         t.place.c_str()),
                          l.tr("Set TMPDIR to a directory of yours that only you can change, then start the "
                               "installer again."));
        case Kind::Cancelled:
            return l.tr("The installation was cancelled.");
    }
    return l.tr(kTransferError);
}

int secondsLeft(const RetryWait& retry, std::chrono::steady_clock::time_point now) {
    const double left = std::chrono::duration<double>(retry.until - now).count();
    return std::max(1, static_cast<int>(std::ceil(left)));
}

std::string statusText(const RunSnapshot& s, std::chrono::steady_clock::time_point now, const Language& l) {
    switch (s.stage) {
        case Stage::Downloading:
            if (s.resumedFrom > 0) return resumedText(s, l);
            return l.tr("Downloading");
        case Stage::WaitingForOther:
            return l.tr("Waiting for another installer to finish");
        case Stage::MovingOn:
            return l.format(l.tr("Trying another server (%d of %d)"), s.server, s.servers);
        case Stage::Retrying:
            return l.format(retryFormat(s.retry.cause, l), secondsLeft(s.retry, now), s.retry.attempt,
                            s.retry.attempts);
        case Stage::Extracting:
            return l.tr("Initializing the installer");
        case Stage::Ready:
            if (s.offlineSince.empty()) return {};
            return l.format(l.tr("Could not reach the server; starting the installer downloaded on %s"),
                            s.offlineSince.c_str());
        case Stage::Failed:
            return troubleText(s.trouble, l);
    }
    return {};
}

std::string buttonText(const RunSnapshot& s, const Language& l) {
    return s.stage == Stage::Failed ? l.tr("Close") : l.tr("Cancel");
}

std::string tryAgainText(const Language& l) { return l.tr("Try again"); }

std::string detailsTitle(const Language& l) { return l.tr("_Details"); }

std::string copyTitle(const Language& l) { return l.tr("_Copy"); }

std::string detailsText(const RunSnapshot& s, const Language& l) {
    std::string text;
    for (const std::string& line : s.details) text += line + "\n";
    if (!s.logFile.empty())
        text += l.format(l.tr("The installer's log for the vendor's support: %s"), s.logFile.c_str()) + "\n";
    if (!text.empty()) text.pop_back();
    return text;
}

std::string resumedText(const RunSnapshot& s, const Language& l) {
    if (s.resumedFrom <= 0) return {};
    const std::string kept = sizeText(static_cast<double>(s.resumedFrom), SizeUnits::Binary, l);
    const double total = s.transfer.maximum();
    if (total <= 0) return l.format(l.tr("Continuing the download: %s were already here"), kept.c_str());
    return l.format(l.tr("Continuing the download: %s of %s were already here"), kept.c_str(),
                    sizeText(total, SizeUnits::Binary, l).c_str());
}

std::string nextRunText(const Language& l) {
    return l.tr("The next run of the installer continues where this one stopped.");
}

}  // namespace bi::ui
