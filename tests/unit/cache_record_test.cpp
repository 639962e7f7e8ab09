#include "agent/cache_record.h"

#include <gtest/gtest.h>

#include "agent/cache.h"
#include "agent/cache_fill.h"
#include "agent/delta_assembly.h"
#include "agent/partial_archive.h"
#include "host/constants.h"
#include "support.h"

using namespace bi;

static auto fields(const AgentRecord& r) {
    return std::make_tuple(r.url, r.tag, r.keyId, r.trustedComment, r.storedAt, r.hash, r.signature);
}
static auto fields(const PartialRecord& r) { return std::make_tuple(r.url, r.tag, r.storedAt, r.length); }

TEST(CacheRecord, WhatIsWrittenIsReadBackAndALineFeedWritesNothing) {
    testsupport::ScratchDir dir;
    // clang-format off
    const AgentRecord none{"none"}, rows[] = {
        {"https://h/agent.zip?a=1 b", "\"v1\"", "0123456789ABCDEF", "timestamp:1700000000\tfile:agent.zip", 1700000001,
         "0a1b", "untrusted comment: a\\n\\\\\nRWQ=\r\ntrusted comment: b\\\n\n"},
        {}, {"u", "W/\"a\r\t\x7f\xff\"", "", " spaced ", -7}, {"u", "\"two\nlines\""}, {"u", "", "", "comment\n"},
    };
    // clang-format on
    for (const auto& r : rows) {
        const bool oneLineEach = (r.tag + r.trustedComment).find('\n') == std::string::npos;
        EXPECT_EQ(writeAgentRecord(dir / "record", r, false), oneLineEach) << r.tag << r.trustedComment;
        EXPECT_EQ(fields(readAgentRecord(dir / "record").value_or(none)), fields(oneLineEach ? r : none))
            << r.tag << r.trustedComment;
        ::unlink((dir / "record").c_str());
    }
    // A partial download's record in the same format: its length, which an agent's has not.
    const PartialRecord partial{"u", "\"p\"", 5, 77};
    ASSERT_TRUE(writePartialRecord(dir / "record", partial, false));
    EXPECT_EQ(fields(readPartialRecord(dir / "record").value_or(PartialRecord{"none"})), fields(partial));
    EXPECT_EQ(fields(readAgentRecord(dir / "record").value_or(none)), fields(AgentRecord{"u", "\"p\"", "", "", 5}));
}

TEST(CacheRecord, AFileThatIsNotARecordOfOursIsNone) {
    testsupport::ScratchDir dir;
    const std::string first = "bootstrap-installer cache record 1\n";
    // clang-format off
    const struct { std::string content; PartialRecord record; } rows[] = {
        {"", {"none"}}, {"\"v1\"\n", {"none"}}, {"bootstrap-installer cache record 2\nurl x\n", {"none"}}, {first, {}},
        {first + "tag " + std::string(2 << 20, 'x') + "\n", {"none"}}, {first + "length 77\nstored 5x\nkey K", {"", "", 5, 77}},
        {first + "length\nstored zz\nbogus line\ntag  x\nurl", {"", " x", 0, 0}},
    };
    // clang-format on
    for (const auto& r : rows) {
        testsupport::writeFile(dir / "record", r.content);
        EXPECT_EQ(fields(readPartialRecord(dir / "record").value_or(PartialRecord{"none"})), fields(r.record))
            << r.content.substr(0, 80);
    }
    EXPECT_FALSE(readAgentRecord(dir / "missing"));
}

// A tag is sent back only where a server takes it; only a strong one lets a download resume.
TEST(CacheRecord, LongOrControlByteTagsAreNeverSentAndWeakOnesNeverResume) {
    // clang-format off
    const struct { std::string tag; bool sendable, strong; } rows[] = {
        {"\"abc\"", true, true}, {"W/\"abc\"", true, false}, {"", false, false}, {"W/", true, false}, {"w/\"lower\"", true, true},
        {std::string(1024, 'e'), true, true}, {std::string(1025, 'e'), false, false}, {"\"a\tb\"", true, true}, {"\"\xff\xfe\"", true, true},
        {"\"a\x01\"", false, false}, {"\"a\x7f\"", false, false}, {std::string("\"\0\"", 3), false, false}, {"W/\"\r\"", false, false},
    };
    // clang-format on
    for (const auto& r : rows)
        EXPECT_EQ(std::make_pair(isSendableTag(r.tag), isStrongTag(r.tag)), std::make_pair(r.sendable, r.strong))
            << r.tag;
}

// A partial archive is resumed only from the URL and under the strong tag it was recorded with;
// any other is dropped.
TEST(PartialArchive, OnlyOneFromTheSameUrlUnderAStrongTagIsKept) {
    testsupport::ScratchDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    const struct {
        std::string url, tag;
        bool kept;
    } rows[] = {{"u", "\"s\"", true}, {"u", "W/\"s\"", false}, {"v", "\"s\"", false}};
    for (const auto& r : rows) {
        testsupport::writeFile(partialArchivePath(), "part");
        ASSERT_TRUE(recordPartialArchive(PartialRecord{r.url, r.tag}));
        EXPECT_EQ(partialArchiveFor("u").has_value(), r.kept) << r.url << " " << r.tag;
        EXPECT_EQ(testsupport::exists(partialArchivePath()), r.kept) << r.url << " " << r.tag;
    }
}

// The archive an agent came from serves an update of the same URL only, at its recorded length;
// an assembled archive becomes the partial archive, whole.
TEST(KeptArchive, OnlyTheUrlsOfItsLengthServesAndAnAssemblyIsTakenWhole) {
    testsupport::ScratchDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    testsupport::makeDirs(getInstallAgentCacheDir());
    const struct {
        std::string url;
        int64_t length;
        bool kept;
    } rows[] = {{"u", 4, true}, {"v", 4, false}, {"u", 5, false}};
    for (const auto& r : rows) {
        testsupport::writeFile(getInstallAgentCacheDir() + KEPT_ARCHIVE_FILE, "zip!");
        ASSERT_TRUE(writePartialRecord(getInstallAgentCacheDir() + KEPT_RECORD_FILE, {r.url, "\"s\"", 0, r.length}));
        EXPECT_EQ(keptArchiveFor("u").has_value(), r.kept) << r.url << " " << r.length;
    }
    testsupport::writeFile(assemblyPath(), "whole");
    ASSERT_TRUE(takeAssembly({"u", "\"s\"", 0, 5}));
    EXPECT_TRUE(partialArchiveFor("u").value_or(PartialArchive{}).complete());
    EXPECT_FALSE(testsupport::exists(assemblyPath()));
}
