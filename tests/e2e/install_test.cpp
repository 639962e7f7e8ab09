// The build installed with `cmake --install`, and a bundle assembled with the installed tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fixture.h"

namespace {

class Install : public InstallerTest {};

}  // namespace

TEST_F(Install, InstalledToolAssemblesABundleThatStartsItsShippedAgent) {
    const std::string prefix = dir_ / "prefix";
    auto r = testsupport::runProcess({BI_CMAKE, "--install", BI_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    const std::string installer = prefix + "/bin/bootstrap-installer";
    const std::string tool = prefix + "/bin/bootstrap-installer-make-bundle";
    const std::string plugin = prefix + "/lib/bootstrap-installer/bootstrap-installer-gtk.so";
    EXPECT_EQ(::access(installer.c_str(), X_OK), 0);
    EXPECT_EQ(::access(tool.c_str(), X_OK), 0);
    ASSERT_TRUE(testsupport::exists(plugin));
    for (const auto& binary : {installer, plugin}) {
        EXPECT_EQ(testsupport::runProcess({"/usr/bin/readelf", "-S", binary}).out.find(".symtab"), std::string::npos)
            << binary << " is not stripped";
    }

    testsupport::makeZip(dir_ / "agent.zip", agentFiles());
    testsupport::makeZip(dir_ / "bundle.zip", {{"product.txt", "the product"}});
    const std::string app = dir_ / "Product Setup.app";
    // No --installer: the tool takes the installer and the plug-in installed with it.
    r = testsupport::runProcess({tool, "-o", app, "--bundle-zip", dir_ / "bundle.zip", "--agent", dir_ / "agent.zip"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    // The tool strips what it copies, which changes nothing in what cmake --install stripped.
    const testsupport::Bundle b{app, app + "/Contents/MacOS/Product Setup", app + "/Contents/Resources"};
    EXPECT_EQ(testsupport::readFile(b.executable), testsupport::readFile(installer));
    EXPECT_EQ(testsupport::readFile(app + "/Contents/MacOS/bootstrap-installer-gtk.so"), testsupport::readFile(plugin));
    EXPECT_EQ(testsupport::readFile(b.resources + "/InstallAgent.zip"), testsupport::readFile(dir_ / "agent.zip"));

    r = run(b, {"-mode", "silent"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", "-mode", "silent"}));
}
