// A .run of both architectures, on this machine and on arm64 under qemu-user. Run by
// scripts/test's step for other systems (label qemu) inside scripts/with-qemu, with the arm64
// build in BI_ARM64_BUILD.
#include "other_system.h"

namespace bi {

// One .run of both architectures starts the bundle of the machine it runs on: this one, and
// arm64 (uname says so) under qemu-user through scripts/with-qemu.
TEST_F(OtherSystem, ARunOfBothArchitecturesStartsTheBundleOfTheMachine) {
    const char* arm64 = std::getenv("BI_ARM64_BUILD");
    if (arm64 == nullptr) GTEST_SKIP() << "no arm64 build (BI_ARM64_BUILD, set by scripts/test)";
    makeBundle({"-o", dir_ / "Setup.app", "--agent", dir_ / "agent.zip", "--installer", BI_INSTALLER, "--installer",
                std::string(arm64) + "/bootstrap-installer", "--archive", "run"});
    EXPECT_TRUE(testsupport::exists(dir_ / "Setup (x86-64).app") && testsupport::exists(dir_ / "Setup (arm64).app"));
    auto r = run({"", dir_ / "Setup.run", ""});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(handedBundle().find("/Setup (x86-64).app/Contents/Resources/bundle.zip"), std::string::npos);
    testsupport::writeFile(dir_ / "stubs/uname",
                           "#!/bin/sh\n[ \"$1\" = -m ] && exec echo aarch64\nexec /bin/uname \"$@\"\n", 0755);
    r = run({"", dir_ / "Setup.run", ""}, {}, {{"PATH", dir_ / "stubs:" + std::getenv("PATH")}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(handedBundle().find("/Setup (arm64).app/Contents/Resources/bundle.zip"), std::string::npos);
    EXPECT_EQ(agentRuns(), 2);
}

}  // namespace bi
