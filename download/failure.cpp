#include "download/failure.h"

#include "download/download_texts.h"

namespace bi {

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
            return failed + signatureFailureText(f.signature) + " " + f.where +
                   (f.detail.empty() ? "" : " (" + f.detail + ")");
        case Failure::Kind::Extraction:
            return failed + "The archive could not be extracted: " + f.where;
        case Failure::Kind::CacheNotWritable:
            return failed + "The installer cache could not be written: " + f.where;
        case Failure::Kind::CacheUntrusted:
            return failed + "The installer cache cannot be trusted: " + f.detail;
        case Failure::Kind::NoUrlFile:
            return failed + "No download address: " + f.where + " is missing";
    }
    return failed + f.where;
}

std::string windowText(const Failure& f) {
    switch (f.kind) {
        case Failure::Kind::Http:
            return format(tr("Download failed with error code %ld"), f.status);
        case Failure::Kind::ProxyAuth:
            return tr("The proxy server requires authentication.");
        case Failure::Kind::Transfer:
            return std::string(tr("Error during the download process.")) + " " + f.detail;
        case Failure::Kind::NoLibrary:
            return tr(f.detail.c_str());
        case Failure::Kind::ResumedOther:
            return tr("Error during the download process.");
        case Failure::Kind::NotModifiedPlain:
            return format(tr("Download failed with error code %ld"), 304L);
        case Failure::Kind::NotZip:
            return format(tr("The server did not send the installer archive (got %s)."),
                          f.detail.empty() ? tr("no content type") : f.detail.c_str());
        case Failure::Kind::Signature:
            return tr(signatureFailureText(f.signature));
        case Failure::Kind::Extraction:
            return tr("Failed to unzip the installer.");
        case Failure::Kind::CacheNotWritable:
            return format(tr("Failed to store the installer in %s"), f.where.c_str());
        case Failure::Kind::CacheUntrusted:
            return format(tr("The installer cache cannot be trusted: %s"), f.detail.c_str());
        case Failure::Kind::NoUrlFile:
            return format(tr("This installer has no download address: %s is missing."), f.where.c_str());
    }
    return tr("Error during the download process.");
}

}  // namespace bi
