#include "agent/signature.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "host/constants.h"
#include "host/files.h"
#include "host/locations.h"
#include "net/url.h"

namespace bi {

namespace {

constexpr size_t kSignatureBytes = 2 + 8 + crypto_sign_BYTES;
constexpr size_t kKeyBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;
const std::string kUntrusted = "untrusted comment:";
const std::string kTrusted = "trusted comment: ";

void initSodium() {
    static const int ready = sodium_init();
    (void)ready;  // 1 when another part initialised it first; -1 leaves every check failing
}

// The text's lines, without their line feeds and a carriage return before one.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Exactly `size` bytes from base64, or nothing. Only the alphabet's bytes: libsodium's decoder
// takes any byte above 0x7f for '/'.
std::optional<std::vector<unsigned char>> decode(const std::string& base64, size_t size) {
    initSodium();
    if (base64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
        std::string::npos) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(size);
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), base64.c_str(), base64.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != base64.c_str() + base64.size() || length != size) {
        return std::nullopt;
    }
    return bytes;
}

// The legacy algorithm signs the archive itself, which must then be read whole.
bool verifyWholeFile(const unsigned char* sig, const std::string& path, const PublicKey& key) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    const auto size = static_cast<size_t>(st.st_size);
    void* data = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    ::close(fd);
    if (data == MAP_FAILED) return false;
    const bool ok =
        crypto_sign_verify_detached(sig, static_cast<const unsigned char*>(data), size, key.key.data()) == 0;
    if (data != nullptr) ::munmap(data, size);
    return ok;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The signature, the key id it names, and the global signature over its trusted comment, each
// checked; `signedBody` checks the signature proper over the message or its hash.
SignatureCheck verifyLines(const PublicKey& key, const std::string& signature,
                           const std::function<bool(const std::string&, const unsigned char*)>& signedBody) {
    SignatureCheck check;
    const std::vector<std::string> lines = linesOf(signature);
    if (lines.size() != 4 || !lines[0].starts_with(kUntrusted) || !lines[2].starts_with(kTrusted)) return check;
    const auto sig = decode(lines[1], kSignatureBytes);
    const auto global = decode(lines[3], crypto_sign_BYTES);
    if (!sig || !global) return check;
    KeyId id{};
    std::copy(sig->begin() + 2, sig->begin() + 10, id.begin());
    check.keyId = keyIdText(id);
    if (id != key.id) {
        check.status = SignatureStatus::OtherKey;
        return check;
    }
    const unsigned char* signed64 = sig->data() + 10;
    bool valid = signedBody(std::string(sig->begin(), sig->begin() + 2), signed64);
    const std::string comment = lines[2].substr(kTrusted.size());
    std::vector<unsigned char> globalMessage(signed64, signed64 + crypto_sign_BYTES);
    globalMessage.insert(globalMessage.end(), comment.begin(), comment.end());
    valid = valid && crypto_sign_verify_detached(global->data(), globalMessage.data(), globalMessage.size(),
                                                 key.key.data()) == 0;
    if (!valid) return check;
    check.status = SignatureStatus::Valid;
    check.trustedComment = comment;
    return check;
}

}  // namespace

std::optional<PublicKey> parseKeyLine(const std::string& line) {
    const auto bytes = decode(line, kKeyBytes);
    if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') return std::nullopt;
    PublicKey key;
    std::copy(bytes->begin() + 2, bytes->begin() + 10, key.id.begin());
    std::copy(bytes->begin() + 10, bytes->end(), key.key.begin());
    return key;
}

std::optional<PublicKey> parsePublicKey(const std::string& text) {
    std::vector<std::string> lines = linesOf(text);
    while (lines.size() > 2 && lines.back().empty()) lines.pop_back();
    if (lines.size() != 2 || !lines[0].starts_with(kUntrusted)) return std::nullopt;
    return parseKeyLine(lines[1]);
}

std::optional<std::vector<PublicKey>> parsePublicKeys(const std::string& text) {
    std::vector<PublicKey> keys;
    const std::vector<std::string> lines = linesOf(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const auto key =
            lines[i].starts_with(kUntrusted) && i + 1 < lines.size() ? parseKeyLine(lines[i + 1]) : std::nullopt;
        if (!key) return std::nullopt;
        keys.push_back(*key);
        ++i;
    }
    if (keys.empty()) return std::nullopt;
    return keys;
}

std::string BundleKey::idText() const {
    std::string ids;
    if (state != BundleKeyState::Present) return ids;
    for (const auto& key : keys) ids += (ids.empty() ? "" : "+") + keyIdText(key.id);
    return ids;
}

std::string keyIdText(const std::array<unsigned char, 8>& id) {
    static const char* const digits = "0123456789ABCDEF";
    std::string text;
    for (size_t i = id.size(); i-- > 0;) {
        text += digits[id[i] >> 4];
        text += digits[id[i] & 0xf];
    }
    return text;
}

BundleKey loadBundleKey(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return {};
    const auto text = readSmallFile(path);
    auto keys = text ? parsePublicKeys(*text) : std::nullopt;
    if (!keys) return {BundleKeyState::Damaged, {}};
    return {BundleKeyState::Present, std::move(*keys)};
}

BundleKey loadBundleKey() { return loadBundleKey(getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_KEY_FILE); }

namespace {

// A valid check whose trusted comment names another file than `name` is for that file.
SignatureCheck forFile(SignatureCheck check, const std::string& name) {
    if (check.status != SignatureStatus::Valid) return check;
    const auto file = commentField(check.trustedComment, "file");
    if (file && *file != name && *file != percentDecoded(name)) {
        check.status = SignatureStatus::OtherFile;
        check.trustedComment.clear();
    }
    return check;
}

}  // namespace

SignatureCheck verifySignature(const PublicKey& key, const std::string& signature, const std::string& archive,
                               const std::string& name, const std::function<std::optional<Blake2bDigest>()>& digest) {
    return forFile(verifyLines(key, signature,
                               [&](const std::string& algorithm, const unsigned char* sig) {
                                   if (algorithm == "ED") {
                                       const auto hash = digest();
                                       return hash && crypto_sign_verify_detached(sig, hash->data(), hash->size(),
                                                                                  key.key.data()) == 0;
                                   }
                                   return algorithm == "Ed" && verifyWholeFile(sig, archive, key);
                               }),
                   name);
}

SignatureCheck verifyAhead(const PublicKey& key, const std::string& signature, const std::string& name) {
    return forFile(verifyTrustedComment(key, signature), name);
}

SignatureCheck verifyMessage(const PublicKey& key, const std::string& signature, const std::string& message) {
    return verifyLines(key, signature, [&](const std::string& algorithm, const unsigned char* sig) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
        if (algorithm == "Ed") return crypto_sign_verify_detached(sig, bytes, message.size(), key.key.data()) == 0;
        Blake2bDigest hash{};
        return algorithm == "ED" &&
               crypto_generichash(hash.data(), hash.size(), bytes, message.size(), nullptr, 0) == 0 &&
               crypto_sign_verify_detached(sig, hash.data(), hash.size(), key.key.data()) == 0;
    });
}

SignatureCheck verifyTrustedComment(const PublicKey& key, const std::string& signature) {
    return verifyLines(key, signature, [](const std::string&, const unsigned char*) { return true; });
}

std::optional<KeyId> signatureKeyId(const std::string& signature) {
    const std::vector<std::string> lines = linesOf(signature);
    const auto sig = lines.size() >= 2 ? decode(lines[1], kSignatureBytes) : std::nullopt;
    if (!sig) return std::nullopt;
    KeyId id{};
    std::copy(sig->begin() + 2, sig->begin() + 10, id.begin());
    return id;
}

std::string unverifiedTrustedComment(const std::string& signature) {
    const std::vector<std::string> lines = linesOf(signature);
    return lines.size() >= 3 && lines[2].starts_with(kTrusted) ? lines[2].substr(kTrusted.size()) : "";
}

std::optional<std::string> commentField(const std::string& comment, const std::string& name) {
    const char separator = comment.find('\t') == std::string::npos ? ' ' : '\t';
    size_t start = 0;
    while (start <= comment.size()) {
        size_t end = comment.find(separator, start);
        if (end == std::string::npos) end = comment.size();
        const std::string field = comment.substr(start, end - start);
        if (field.starts_with(name + ":")) return field.substr(name.size() + 1);
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<int64_t> commentTime(const std::string& comment, const std::string& name) {
    const auto field = commentField(comment, name);
    if (!field || field->empty() || field->size() > 18 || field->find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::strtoll(field->c_str(), nullptr, 10);
}

std::string signatureUrlOf(const std::string& url) { return net::withPathSuffix(url, ".minisig"); }

bool isRollback(const std::string& newer, const std::string& cached) {
    const auto newTime = commentTime(newer, "timestamp");
    const auto cachedTime = commentTime(cached, "timestamp");
    return newTime && cachedTime && *newTime < *cachedTime;
}

}  // namespace bi

namespace bi {

std::string readableTrustedComment(const std::string& comment) {
    std::string readable;
    size_t begin = 0;
    for (size_t end = 0; end != std::string::npos; begin = end + 1) {
        end = comment.find('\t', begin);
        std::string field = comment.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (field.starts_with("timestamp:") && field.size() > 10 &&
            field.find_first_not_of("0123456789", 10) == std::string::npos && field.size() < 22) {
            const auto seconds = static_cast<time_t>(std::stoll(field.substr(10)));
            tm utc{};
            char date[40];
            if (::gmtime_r(&seconds, &utc) != nullptr &&
                std::strftime(date, sizeof date, " (signed %Y-%m-%d %H:%M:%S UTC)", &utc) > 0) {
                field += date;
            }
        }
        readable += (readable.empty() ? "" : ", ") + field;
    }
    return readable;
}

}  // namespace bi
