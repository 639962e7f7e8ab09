#include "download/failure.h"

#include "agent/cache.h"
#include "download/download_texts.h"
#include "ui/progress_text.h"

// Marks a text for the catalogs where it is translated later.
#define N_(text) text

namespace bi {

namespace {

using net::TransferErrorKind;

// "example.com" of "https://user@example.com:8443/a/b".
std::string hostOf(const std::string& url) {
    auto begin = url.find("://");
    begin = begin == std::string::npos ? 0 : begin + 3;
    const auto end = url.find_first_of("/?#", begin);
    std::string host = url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (const auto at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
    if (const auto colon = host.rfind(':'); colon != std::string::npos && host.find(']', colon) == std::string::npos)
        host.resize(colon);
    return host;
}

const char* const kTryLater = N_("Try again later. If it keeps failing, contact the vendor of the product.");

// What a failure of the transfer itself means to the user, and what they can do.
std::string transferSentence(const Failure& f) {
    switch (f.transfer) {
        case TransferErrorKind::Refused:
        case TransferErrorKind::UnknownHost:
            return tr(
                "The server cannot be reached. Check the internet connection and any proxy settings, then try "
                "again.");
        case TransferErrorKind::TimedOut:
            return tr(
                "The server did not answer in time. Check the internet connection and any proxy settings, then "
                "try again.");
        case TransferErrorKind::ConnectionLost:
            return tr("The connection to the server was lost. Check the internet connection, then try again.");
        case TransferErrorKind::Certificate:
            return format(tr("The certificate of the server %s is not trusted. Check that the date and time of this "
                             "computer are right; a proxy or security program that inspects secure connections can "
                             "also cause this."),
                          hostOf(f.where).c_str());
        case TransferErrorKind::NoCaStore:
            return tr(
                "This computer has no certificates to check the server with. Install the package of the "
                "system's CA certificates (ca-certificates), then try again.");
        case TransferErrorKind::DiskFull: {
            std::string place = getInstallAgentCacheDir();
            if (place.size() > 1 && place.ends_with('/')) place.pop_back();
            if (f.needed > 0) {
                return format(
                    tr("The disk is full: the installer needs %s of free space in %s. Free some space, "
                       "then try again."),
                    ui::sizeText(static_cast<double>(f.needed), ui::SizeUnits::Binary, ui::userLanguage()).c_str(),
                    place.c_str());
            }
            return format(tr("The disk is full: there is not enough free space in %s. Free some space, then try "
                             "again."),
                          place.c_str());
        }
        case TransferErrorKind::BadUrl:
        case TransferErrorKind::TooManyRedirects:
            return tr("The download address of this installer does not work. Contact the vendor of the product.");
        case TransferErrorKind::HeaderTooLarge:
            return tr("The server answered with a header that is too large. Contact the vendor of the product.");
        default:
            return tr(kTryLater);
    }
}

std::string httpSentence(long status) {
    if (status == 404 || status == 410) {
        return tr("The installer file is not on the server. Contact the vendor of the product.");
    }
    if (status == 401 || status == 403) {
        return tr("The server refused access to the installer file. Contact the vendor of the product.");
    }
    if (status == 408 || status == 429 || status >= 500) {
        return tr("The server is busy or has a problem. Try again later.");
    }
    return tr(kTryLater);
}

const char* const kDoNotRun = N_("Do not run this installer; contact the vendor of the product.");

}  // namespace

std::string logLine(const Failure& f) {
    const std::string failed = "Download failed! ";
    switch (f.kind) {
        case Failure::Kind::Http:
            return (f.bodyless ? format("Download failed! Error code- %3.0f", static_cast<double>(f.status))
                               : format("Download failed with http error code- %ld", f.status)) +
                   " " + f.where;
        case Failure::Kind::ProxyAuth:
            return failed + "The proxy server requires authentication: " + f.detail + " " + f.where;
        case Failure::Kind::Transfer:
        case Failure::Kind::NoLibrary:
            return failed + "Error - " + f.detail + " " + f.where;
        case Failure::Kind::ResumedOther:
            return failed + "The server resumed another archive: " + f.where;
        case Failure::Kind::NotModifiedPlain:
            return failed + "The server answered 304 Not Modified to a plain request: " + f.where;
        case Failure::Kind::NotZip:
            return failed + "The server did not send a zip archive (got " +
                   (f.detail.empty() ? "no content type" : f.detail) + "): " + f.where;
        case Failure::Kind::Signature:
            return (f.shipped ? "The shipped installer archive was refused: " : failed) +
                   signatureFailureText(f.signature) + " " + f.where + (f.detail.empty() ? "" : " (" + f.detail + ")");
        case Failure::Kind::Extraction:
            return (f.shipped ? "The shipped installer archive could not be extracted: "
                              : failed + "The archive could not be extracted: ") +
                   f.where;
        case Failure::Kind::CacheNotWritable:
            return failed + "The installer cache could not be written: " + f.where;
        case Failure::Kind::CacheUntrusted:
            return failed + "The installer cache cannot be trusted: " + f.detail;
        case Failure::Kind::NoUrlFile:
            return failed + "No download address: " + f.where + " is missing";
        case Failure::Kind::NoProgram:
            return "The program " + f.detail + " is not on the PATH: " + f.where;
        case Failure::Kind::NoHome:
            return "The home directory " + f.where + " does not exist.";
        case Failure::Kind::NoWorkDir:
            return "No private working directory can be made: " + f.detail;
        case Failure::Kind::Cancelled:
            return "The installation was cancelled.";
    }
    return failed + f.where;
}

std::string windowText(const Failure& f) {
    switch (f.kind) {
        case Failure::Kind::Http:
            return format(tr("Download failed with error code %ld"), f.status) + ". " + httpSentence(f.status);
        case Failure::Kind::ProxyAuth:
            return std::string(tr("The proxy server requires authentication.")) + " " +
                   tr("Check the user name and password in the proxy settings (http_proxy, https_proxy).");
        case Failure::Kind::Transfer:
            return std::string(tr("Error during the download process.")) + " " + transferSentence(f);
        case Failure::Kind::NoLibrary:
            return tr(f.detail.c_str());
        case Failure::Kind::ResumedOther:
            return std::string(tr("Error during the download process.")) + " " + tr(kTryLater);
        case Failure::Kind::NotModifiedPlain:
            return format(tr("Download failed with error code %ld"), 304L) + ". " + tr(kTryLater);
        case Failure::Kind::NotZip:
            return format(tr("The server did not send the installer archive (got %s)."),
                          f.detail.empty() ? tr("no content type") : f.detail.c_str()) +
                   " " +
                   tr("A network's sign-in page or a proxy may have answered instead. Sign in to the network in a "
                      "web browser, then try again.");
        case Failure::Kind::Signature:
            if (f.signature == SignatureStatus::CachedExpired) {
                return std::string(tr(signatureFailureText(f.signature))) + " " +
                       tr("Check the internet connection, then try again.");
            }
            return std::string(tr(signatureFailureText(f.signature))) + " " + tr(kDoNotRun);
        case Failure::Kind::Extraction:
            return std::string(tr("Failed to unzip the installer.")) + " " +
                   (f.shipped ? tr("Contact the vendor of the product.") : tr(kTryLater));
        case Failure::Kind::CacheNotWritable:
            return format(tr("Failed to store the installer in %s"), f.where.c_str()) + ". " +
                   tr("Check that the disk has free space and that the folder belongs to you.");
        case Failure::Kind::CacheUntrusted:
            return format(tr("The installer cache cannot be trusted: %s"), f.detail.c_str());
        case Failure::Kind::NoUrlFile:
            return format(tr("This installer has no download address: %s is missing."), f.where.c_str()) + " " +
                   tr("Contact the vendor of the product.");
        case Failure::Kind::NoProgram:
            return format(tr("The program %s, which the installer needs, is not installed. Install the package %s, "
                             "then start the installer again."),
                          f.detail.c_str(), f.detail == "sh" ? "dash or bash" : f.detail.c_str());
        case Failure::Kind::NoHome:
            return format(tr("The home directory %s does not exist. Set HOME to your home directory, or ask your "
                             "administrator to create it."),
                          f.where.c_str());
        case Failure::Kind::NoWorkDir:
            return (f.where.empty()
                        ? std::string(tr("The installer cannot make a private working directory in /tmp."))
                        : format(tr("The installer cannot make a private working directory in %s or in /tmp."),
                                 f.where.c_str())) +
                   " " +
                   tr("Set TMPDIR to a directory of yours that only you can change, then start the installer again.");
        case Failure::Kind::Cancelled:
            return tr("The installation was cancelled.");
    }
    return tr("Error during the download process.");
}

int exitStatus(const Failure& /*failure*/) { return -1; }

}  // namespace bi
