// bootstrap-installer-verify: the vendor's check, with the installer's own code, that a key
// and a signed archive are what the installer will accept. The bundle tool runs it.
//
//   bootstrap-installer-verify KEY.pub               is KEY.pub a minisign public key?
//   bootstrap-installer-verify KEY.pub ARCHIVE.zip [NAME]
//                                  does ARCHIVE.zip.minisig verify with it, for an archive
//                                  shipped under NAME (by default its own file name)?
#include <cstdio>
#include <string>

#include "agent/signature.h"

int main(int argc, char** argv) {
    using namespace bi;
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s KEY.pub [ARCHIVE.zip [NAME]]\n", argv[0]);
        return 2;
    }
    const BundleKey key = loadBundleKey(argv[1]);
    if (key.state != BundleKeyState::Present) {
        std::fprintf(stderr, "%s: not a minisign public key\n", argv[1]);
        return 1;
    }
    if (argc == 2) {
        std::printf("key %s\n", key.idText().c_str());
        return 0;
    }
    const SignatureCheck check = verifyArchiveFile(key, argv[2], argc == 4 ? argv[3] : "");
    if (check.status != SignatureStatus::Valid) {
        std::fprintf(stderr, "%s: %s\n", argv[2], signatureFailureText(check.status));
        return 1;
    }
    std::printf("%s: signed by key %s: %s\n", argv[2], key.idText().c_str(), check.trustedComment.c_str());
    return 0;
}
