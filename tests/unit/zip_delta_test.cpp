// An update from the archive the cache kept to the server's new one: the directories read from
// archives the real zip made, the plan, the assembly from reused and fetched bytes, and the
// proof that the result is the new archive or names the entry that is not.
#include <gtest/gtest.h>
#include <utime.h>

#include <cstring>
#include <random>
#include <tuple>

#include "agent/delta_assembly.h"
#include "agent/delta_plan.h"
#include "agent/zip_directory.h"
#include "support.h"

namespace bi {

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

std::string noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// Eight files of incompressible bytes and a compressible one, "f0" to "f8".
Files base() {
    Files files;
    for (unsigned i = 0; i < 8; ++i) files.emplace_back("f" + std::to_string(i), noise(20000 + i, i));
    files.emplace_back("f8", std::string(30000, 'z'));
    return files;
}

Files with(Files files, const std::string& name, const std::string& content) {
    for (auto& [n, c] : files) {
        if (n == name) c = content;
    }
    return files;
}

// What zip makes of files, in their order and all of one date but `touched`'s; `how`: "-fz"
// (zip64), "|" to stream it through a pipe (data descriptors), "extras" for zip's extra
// fields, "stub" or "stub -A" to put bytes before it.
std::string zipped(const Files& files, const std::string& how = "", const std::string& touched = "") {
    testsupport::ScratchDir d;
    std::string names;
    for (const auto& [name, content] : files) {
        testsupport::writeFile(d / name, content);
        const utimbuf date{1700000000 + (name == touched ? 10 : 0), 1700000000 + (name == touched ? 10 : 0)};
        ::utime((d / name).c_str(), &date);
        names += " " + name;
    }
    const std::string options = how == "-fz" ? "-X -fz" : how == "extras" ? "" : "-X";
    const std::string command =
        how == "|" ? "zip -q -X - " + names + " | cat > a.zip" : "zip -q " + options + " a.zip" + names;
    EXPECT_EQ(testsupport::runProcess({"/bin/sh", "-c", command}, {.cwd = d.path()}).exitStatus, 0);
    std::string zip = testsupport::readFile(d / "a.zip");
    if (how.starts_with("stub")) {
        testsupport::writeFile(d / "a.zip", noise(777, 9) + zip);
        if (how == "stub -A") testsupport::runProcess({"/usr/bin/zip", "-q", "-A", d / "a.zip"});
        zip = testsupport::readFile(d / "a.zip");
    }
    return zip;
}

// Every entry named `from` (local and central headers) is named `to`, of the same length.
std::string renamed(std::string zip, const std::string& from, const std::string& to) {
    for (const auto& [header, nameSize, nameAt] : {std::tuple{"PK\x03\x04", 26, 30}, {"PK\x01\x02", 28, 46}}) {
        for (size_t at = zip.find(header); at != std::string::npos; at = zip.find(header, at + 4)) {
            if (static_cast<unsigned char>(zip[at + nameSize]) == from.size() &&
                zip.compare(at + nameAt, from.size(), from) == 0)
                zip.replace(at + nameAt, to.size(), to);
        }
    }
    return zip;
}

// The directory from the archive's last `tail` bytes, and more when it asks; `tail` becomes
// what was read.
void put(std::string& zip, size_t at, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) zip[at + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
}

// The end record's counts saturated, as a zip64 archive may write them.
std::string saturated(std::string zip) {
    const size_t end = zip.rfind("PK\x05\x06");
    put(zip, end + 8, 0xffff, 2), put(zip, end + 10, 0xffff, 2), put(zip, end + 12, 0xffffffff, 4),
        put(zip, end + 16, 0xffffffff, 4);
    return zip;
}

// The first two central headers in each other's place: the directory in another order than the
// entries.
std::string swapped(std::string zip) {
    const size_t first = zip.find("PK\x01\x02"), second = zip.find("PK\x01\x02", first + 4);
    const std::string a = zip.substr(first, second - first);
    const size_t size =
        46 + (static_cast<unsigned char>(zip[second + 28]) | static_cast<unsigned char>(zip[second + 30]) << 8);
    zip.replace(first, a.size() + size, zip.substr(second, size) + a);
    return zip;
}

ZipDirectory directoryOf(const std::string& zip, uint64_t& tail) {
    tail = std::min<uint64_t>(tail, zip.size());
    ZipRead read = readZipDirectory(std::string_view(zip).substr(zip.size() - tail), zip.size());
    if (read.needFrom) {
        tail = zip.size() - *read.needFrom;
        read = readZipDirectory(std::string_view(zip).substr(*read.needFrom), zip.size());
    }
    EXPECT_TRUE(read.directory) << read.error;
    return read.directory.value_or(ZipDirectory{});
}

}  // namespace

struct UpdateRow {
    std::string name;
    std::string old, fresh;
    size_t reused = 0, fetched = 0;
    bool pays = true;
    std::string damaged = "";  // an entry of the old archive whose data is spoilt: the proof names it
    bool inName = false;       // in its local header's name instead
};

class Update : public ::testing::TestWithParam<UpdateRow> {};

// Tail, plan, copy, fetch and proof, as an update runs them; the server's archive is the
// fetched bytes' source. The result is the new archive byte for byte.
TEST_P(Update, ReusesWhatDidNotChangeAndTheProofTellsTheResultFromTheServersArchive) {
    const UpdateRow& r = GetParam();
    testsupport::ScratchDir dir;
    std::string old = r.old;
    uint64_t whole = old.size();
    const ZipDirectory before = directoryOf(old, whole);
    for (const ZipEntry& e : before.entries) {
        if (e.name == r.damaged)
            old[r.inName ? e.offset + 30 : e.offset + 30 + e.name.size() + 100] ^= 1;  // past any extra field
    }
    testsupport::writeFile(dir / "old.zip", old);
    // Less than an update asks for, so that the tail holds no entry of these small archives.
    uint64_t tail = before.directorySize + 22;
    const ZipDirectory after = directoryOf(r.fresh, tail);
    uint64_t unpacked = 0;
    for (const ZipEntry& e : after.entries) unpacked += e.uncompressedSize;
    EXPECT_EQ(after.unpackedSize(), unpacked);

    const Span held{r.fresh.size() - tail, tail};
    const Link link{0.02, 1e6};  // 20 KB a round trip
    const DeltaPlan plan = planDelta(before, after, {held}, gapWorthFetching(link));
    EXPECT_EQ(std::tie(plan.reusedEntries, plan.fetchedEntries), std::tie(r.reused, r.fetched));
    EXPECT_EQ(plan.reusedBytes + plan.fetchBytes + held.length, r.fresh.size());  // every byte once
    EXPECT_EQ(deltaPays(plan, r.fresh.size(), link), r.pays);
    EXPECT_EQ(requestsFor(plan.fetch, 1).size(), plan.fetch.size());

    testsupport::writeFile(dir / "new.zip", std::string(r.fresh.size() + 9, 'x'));  // a longer one a crashed run left
    ASSERT_TRUE(copyReused(dir / "old.zip", dir / "new.zip", r.fresh.size(), plan.reuse)) << r.name;
    std::string assembled = testsupport::readFile(dir / "new.zip");
    for (const Span& s : plan.fetch) assembled.replace(s.offset, s.length, r.fresh, s.offset, s.length);
    assembled.replace(held.offset, held.length, r.fresh, held.offset, held.length);
    testsupport::writeFile(dir / "new.zip", assembled);
    const Proof proof = proveArchive(dir / "new.zip", after);
    EXPECT_EQ(proof.entry, r.damaged) << proof.why;
    EXPECT_EQ(proof.ok, r.damaged.empty()) << proof.why;
    EXPECT_EQ(assembled == r.fresh, r.damaged.empty());
    // An old archive shorter than its directory says is no base.
    const Reuse past{old.size() - 5, 0, 10};
    EXPECT_EQ(copyReused(dir / "old.zip", dir / "new.zip", r.fresh.size(), {past}).kind,
              AssemblyResult::Kind::OldArchive);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Update, ::testing::Values(
    UpdateRow{"one changed", zipped(base()), zipped(with(base(), "f3", noise(20003, 99))), 8, 1},
    UpdateRow{"one renamed", zipped(base()), renamed(zipped(base()), "f3", "g3"), 8, 1},
    UpdateRow{"one added", zipped(base()), zipped([] { auto f = base(); f.insert(f.begin() + 2, {"new", "n"}); return f; }()), 9, 1},
    UpdateRow{"one removed", zipped(base()), zipped([] { auto f = base(); f.erase(f.begin() + 2); return f; }()), 8, 0},
    UpdateRow{"reordered", zipped(base()), zipped([] { auto f = base(); std::reverse(f.begin(), f.end()); return f; }()), 9, 0},
    UpdateRow{"data descriptors", zipped(base(), "|"), zipped(with(base(), "f3", noise(20003, 99)), "|"), 8, 1},
    UpdateRow{"zip64", zipped(base(), "-fz"), zipped(with(base(), "f3", noise(20003, 99)), "-fz"), 8, 1},
    UpdateRow{"a stub the offsets leave out", zipped(base()), zipped(with(base(), "f3", noise(20003, 99)), "stub"), 8, 1},
    UpdateRow{"a stub the offsets count", zipped(base(), "stub -A"), zipped(with(base(), "f3", noise(20003, 99)), "stub -A"), 8, 1},
    UpdateRow{"duplicate names", renamed(zipped(base()), "f1", "f0"), renamed(zipped(with(base(), "f3", noise(20003, 99))), "f1", "f0"), 8, 1},
    UpdateRow{"everything changed", zipped(base()), zipped([] { auto f = base(); for (auto& [n, c] : f) c = noise(c.size(), 77); return f; }()), 0, 9, false},
    UpdateRow{"a damaged old archive", zipped(base()), zipped(with(base(), "f3", noise(20003, 99))), 8, 1, true, "f5"},
    UpdateRow{"an old local header of another name", zipped(base()), zipped(with(base(), "f3", noise(20003, 99))), 8, 1, true, "f5", true},
    UpdateRow{"zip64 with the end record saturated", zipped(base(), "-fz"), saturated(zipped(with(base(), "f3", noise(20003, 99)), "-fz")), 8, 1},
    UpdateRow{"the directory in another order", zipped(base()), swapped(zipped(with(base(), "f3", noise(20003, 99)))), 8, 1},
    UpdateRow{"one touched", zipped(base()), zipped(base(), "", "f3"), 8, 1},
    UpdateRow{"extra fields added", zipped(base()), zipped(base(), "extras"), 0, 9, false},
    UpdateRow{"a small entry between changed ones is fetched", zipped(base()), zipped(with(base(), "f7", noise(20007, 99))), 7, 2}), RowName());
// clang-format on

// An archive the plan cannot stand on is an error (the whole archive is then fetched), never a
// guess; a directory before the bytes in hand is asked for.
TEST(ZipDirectory, DamagedOrOddArchivesAreErrorsAndADirectoryOutsideTheTailIsAskedFor) {
    const std::string zip = zipped(base()), z64 = zipped(base(), "-fz");
    const size_t end = zip.rfind("PK\x05\x06"), central = zip.find("PK\x01\x02");
    const auto changed = [&](size_t at, uint64_t value, int size) {
        std::string z = zip;
        put(z, at, value, size);
        return z;
    };
    // clang-format off
    const struct { std::string what, bytes; size_t tail; std::string error; std::optional<uint64_t> needFrom = {}; } rows[] = {
        {"not a zip", noise(5000, 1), 5000, "no end-of-central-directory record"},
        {"a byte after its end", zip + "x", zip.size() + 1, "no end-of-central-directory record"},
        {"split", changed(end + 4, 1, 2), zip.size(), "a split archive"},
        {"a directory longer than its entries", [&] { auto z = changed(end + 8, 8, 2); put(z, end + 10, 8, 2); return z; }(), zip.size(),
         "the directory's size does not match"},
        {"entries sharing a header", changed(zip.find("PK\x01\x02", central + 4) + 42, 0, 4), zip.size(), "share one local header"},
        {"an entry running into the next", changed(central + 20, 30000, 4), zip.size(), "runs into the next"},
        {"zip64 sizes missing", changed(central + 24, 0xffffffff, 4), zip.size(), "zip64 extra field"},
        {"the directory before the tail", zip, 200, "", central},
        {"the zip64 record before the tail", z64, 50, "", z64.rfind("PK\x06\x06")},
    };
    // clang-format on
    for (const auto& r : rows) {
        const ZipRead read =
            readZipDirectory(std::string_view(r.bytes).substr(r.bytes.size() - r.tail), r.bytes.size());
        EXPECT_FALSE(read.directory) << r.what;
        EXPECT_NE(read.error.find(r.error), std::string::npos) << r.what << ": " << read.error;
        EXPECT_TRUE(r.error.empty() == read.error.empty() && read.needFrom == r.needFrom)
            << r.what << ": " << read.needFrom.value_or(0);
    }
}

// What is left to ask for, how it is asked, and what a round trip is worth.
TEST(Spans, WhatIsLeftHowItIsAskedForAndWhatARoundTripIsWorth) {
    EXPECT_EQ(missing({{0, 10}, {20, 10}}, {{5, 20}}), (std::vector<Span>{{0, 5}, {25, 5}}));
    EXPECT_EQ(missing({{0, 10}}, {{0, 3}, {3, 7}}), std::vector<Span>{});
    const auto sizes = [](const std::vector<std::vector<Span>>& requests) {
        std::vector<size_t> n;
        for (const auto& r : requests) n.push_back(r.size());
        return n;
    };
    EXPECT_EQ(sizes(requestsFor({{0, 1}, {2, 1}, {4, 1}}, 2)), (std::vector<size_t>{2, 1}));
    EXPECT_EQ(sizes(requestsFor({{0, 1}, {2, 1}}, 0)), (std::vector<size_t>{1, 1}));
    EXPECT_EQ(roundTripBytes({0.02, 1e6}), 20000u);
    EXPECT_EQ(roundTripBytes({10, 1e9}), 8u << 20);      // at most
    EXPECT_EQ(roundTripBytes({0.001, 1e6}), 16u << 10);  // at least
    EXPECT_EQ(gapWorthFetching({0.02, 1e6, false}), 20000u);
    EXPECT_LT(gapWorthFetching({0.02, 1e6, true}), 1000u);  // another part costs its headers and a share of a request
}

}  // namespace bi
