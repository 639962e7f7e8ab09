// The fixture of the tests on other systems: bundles made by make-bundle in the test's scratch
// directory, run as the end-to-end tests run the installer.
#pragma once

#include <gtest/gtest.h>

#include "../e2e/fixture.h"

namespace bi {

class OtherSystem : public InstallerTest {
protected:
    // make-bundle with this build's installer, the product and the recording agent, and `more`
    // (a later --installer of the same architecture wins); fails the test on a refusal.
    void makeBundle(std::vector<std::string> more) {
        testsupport::makeZip(dir_ / "product.zip", {{"product.txt", "the product"}});
        testsupport::makeZip(dir_ / "agent.zip", agentFiles());
        std::vector<std::string> argv = {BI_MAKE_BUNDLE, "--bundle-zip", dir_ / "product.zip", "--installer",
                                         BI_INSTALLER};
        argv.insert(argv.end(), more.begin(), more.end());
        const auto r = testsupport::runProcess(argv, {.cwd = dir_.path()});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    // The bundle at dir_/NAME.app.
    testsupport::Bundle made(const std::string& name) const {
        const std::string root = dir_ / (name + ".app");
        return {root, root + "/Contents/MacOS/" + name, root + "/Contents/Resources"};
    }
    // The bundle.zip path that the agent of the last run was handed.
    std::string handedBundle() const {
        const auto got = recorded();
        return got.size() >= 2 ? got[1] : "";
    }
};

}  // namespace bi
