#include "download/failure.h"

#include "agent/cache.h"
#include "host/text.h"
#include "net/url.h"
#include "ui/words.h"

namespace bi {

namespace {

using net::TransferErrorKind;
using Kind = ui::Trouble::Kind;

Kind transferTrouble(TransferErrorKind kind) {
    switch (kind) {
        case TransferErrorKind::Refused:
        case TransferErrorKind::UnknownHost:
            return Kind::Unreachable;
        case TransferErrorKind::TimedOut:
            return Kind::NoAnswer;
        case TransferErrorKind::ConnectionLost:
            return Kind::ConnectionLost;
        case TransferErrorKind::Certificate:
            return Kind::Certificate;
        case TransferErrorKind::NoCaStore:
            return Kind::NoCaStore;
        case TransferErrorKind::DiskFull:
            return Kind::DiskFull;
        case TransferErrorKind::BadUrl:
        case TransferErrorKind::TooManyRedirects:
            return Kind::BadAddress;
        case TransferErrorKind::HeaderTooLarge:
            return Kind::HeaderTooLarge;
        default:
            return Kind::TransferFailed;
    }
}

}  // namespace

ui::Refusal refusalOf(SignatureStatus status) {
    switch (status) {
        case SignatureStatus::Missing:
            return ui::Refusal::Unsigned;
        case SignatureStatus::OtherKey:
            return ui::Refusal::OtherKey;
        case SignatureStatus::OtherFile:
            return ui::Refusal::OtherFile;
        case SignatureStatus::Rollback:
            return ui::Refusal::Rollback;
        case SignatureStatus::DamagedKey:
            return ui::Refusal::DamagedKey;
        case SignatureStatus::Retired:
            return ui::Refusal::Retired;
        case SignatureStatus::BelowFloor:
            return ui::Refusal::BelowFloor;
        case SignatureStatus::Expired:
            return ui::Refusal::Expired;
        case SignatureStatus::CachedExpired:
            return ui::Refusal::CachedExpired;
        case SignatureStatus::StatementInvalid:
            return ui::Refusal::StatementInvalid;
        case SignatureStatus::StatementReadmits:
            return ui::Refusal::StatementReadmits;
        case SignatureStatus::ChainTooLong:
            return ui::Refusal::ChainTooLong;
        case SignatureStatus::Valid:
        case SignatureStatus::Invalid:
            break;
    }
    return ui::Refusal::Invalid;
}

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
                   ui::refusalSentence(refusalOf(f.signature)) + " " + f.where +
                   (f.detail.empty() ? "" : " (" + f.detail + ")");
        case Failure::Kind::Extraction:
            return (f.shipped ? "The shipped installer archive could not be extracted: "
                              : failed + "The archive could not be extracted: ") +
                   f.where;
        case Failure::Kind::NoSpace: {
            const std::string head = f.shipped ? "The shipped installer archive was not extracted: " : failed;
            if (f.free < 0) return head + "The disk filled while extracting " + f.detail + " into " + f.where;
            return head +
                   format("Not enough free space in %s: %lld bytes needed, %lld free, for ", f.where.c_str(),
                          static_cast<long long>(f.needed), static_cast<long long>(f.free)) +
                   f.detail;
        }
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

ui::Trouble troubleOf(const Failure& f) {
    ui::Trouble t;
    switch (f.kind) {
        case Failure::Kind::Http:
            t.kind = Kind::HttpStatus;
            t.status = f.status;
            break;
        case Failure::Kind::ProxyAuth:
            t.kind = Kind::ProxyAuth;
            break;
        case Failure::Kind::Transfer:
            t.kind = transferTrouble(f.transfer);
            if (t.kind == Kind::Certificate) t.place = net::splitUrl(f.where).host;
            if (t.kind == Kind::DiskFull) {
                t.place = getInstallAgentCacheDir();
                if (t.place.size() > 1 && t.place.ends_with('/')) t.place.pop_back();
                t.bytes = f.needed;
            }
            break;
        case Failure::Kind::NoLibrary:
            t.kind = Kind::NoLibrary;
            break;
        case Failure::Kind::ResumedOther:
            t.kind = Kind::TransferFailed;
            break;
        case Failure::Kind::NotModifiedPlain:
            t.kind = Kind::NotModifiedPlain;
            break;
        case Failure::Kind::NotZip:
            t.kind = Kind::NotZip;
            t.detail = f.detail;
            break;
        case Failure::Kind::Signature:
            t.kind = Kind::Refused;
            t.refusal = refusalOf(f.signature);
            break;
        case Failure::Kind::Extraction:
            t.kind = Kind::Extraction;
            t.shipped = f.shipped;
            break;
        case Failure::Kind::NoSpace:
            t.kind = Kind::NoSpace;
            t.place = f.where;
            if (t.place.size() > 1 && t.place.ends_with('/')) t.place.pop_back();
            t.bytes = f.needed;
            t.free = f.free;
            break;
        case Failure::Kind::CacheNotWritable:
            t.kind = Kind::CacheNotWritable;
            t.place = f.where;
            break;
        case Failure::Kind::CacheUntrusted:
            t.kind = Kind::CacheUntrusted;
            t.detail = f.detail;
            break;
        case Failure::Kind::NoUrlFile:
            t.kind = Kind::NoUrlFile;
            t.place = f.where;
            break;
        case Failure::Kind::NoProgram:
            t.kind = Kind::NoProgram;
            t.detail = f.detail;
            break;
        case Failure::Kind::NoHome:
            t.kind = Kind::NoHome;
            t.place = f.where;
            break;
        case Failure::Kind::NoWorkDir:
            t.kind = Kind::NoWorkDir;
            t.place = f.where;
            break;
        case Failure::Kind::Cancelled:
            t.kind = Kind::Cancelled;
            break;
    }
    return t;
}

int exitStatus(const Failure& /*failure*/) { return -1; }

}  // namespace bi
