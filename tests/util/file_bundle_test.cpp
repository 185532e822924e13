#include "util/file_bundle.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/support/scratch.h"
#include "util/file.h"

namespace {

vyxFileBundle sampleBundle() {
    vyxFileBundle bundle;
    vyxBundleEntry file;
    file.ok = file.opened = true;
    file.bytes = std::string("v 0 0 0\n\0binary\xff", 17);
    bundle.entries["F./model.obj"] = file;
    vyxBundleEntry missing;
    missing.error = ENOENT;
    missing.bytes = "No such file or directory";
    bundle.entries["F./gone.png"] = missing;
    vyxBundleEntry path;
    path.ok = true;
    path.bytes = "./Textures/Marble.PNG";
    bundle.entries["L./\ntextures/marble.png"] = path;
    for (auto& entry : bundle.entries)
        bundle.byteCount += entry.second.bytes.size();
    return bundle;
}

bool decodes(const std::string& bytes, vyxFileBundle& bundle, std::string& error) {
    return vyxDecodeFileBundle(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), bundle, error);
}

} // namespace

// What is recorded while reading from the disk is answered the same way, from memory
// alone, once replayed: contents, failures with their reasons, what was never asked.
TEST(FileBundle, ReplayAnswersWhatTheRecordingSaw) {
    ScratchDir dir;
    const std::string present = dir.write("present.bin", std::string("\x01\x02\0\x03", 4));
    const std::string missing = dir.file("missing.bin");
    vyxBundleRecordStart();
    std::string bytes, why;
    ASSERT_TRUE(vyxReadWholeFile(present.c_str(), bytes));
    EXPECT_FALSE(vyxReadWholeFile(missing.c_str(), bytes, nullptr, &why));
    const std::string missingWhy = why;
    EXPECT_EQ(vyxReadFileHead(present.c_str(), 2), std::string("\x01\x02", 2));
    EXPECT_EQ(vyxFileProblem(dir.path().c_str()), "is a folder");
    vyxFileBundle recorded = vyxBundleRecordStop();
    EXPECT_FALSE(vyxBundleRecording());

    // Through bytes, as between processes.
    const std::string encoded = vyxEncodeFileBundle(recorded);
    vyxFileBundle bundle;
    std::string error;
    ASSERT_TRUE(decodes(encoded, bundle, error)) << error;
    EXPECT_EQ(bundle.entries.size(), recorded.entries.size());
    std::remove(present.c_str());

    vyxBundleReplayStart(std::move(bundle));
    bool opened = true;
    EXPECT_TRUE(vyxReadWholeFile(present.c_str(), bytes));
    EXPECT_EQ(bytes, std::string("\x01\x02\0\x03", 4));
    EXPECT_FALSE(vyxReadWholeFile(missing.c_str(), bytes, &opened, &why));
    EXPECT_FALSE(opened);
    EXPECT_EQ(why, missingWhy);
    EXPECT_EQ(vyxReadFileHead(present.c_str(), 8), std::string("\x01\x02", 2));
    EXPECT_EQ(vyxFileProblem(dir.path().c_str()), "is a folder");
    EXPECT_FALSE(vyxReadWholeFile(dir.file("never-read.txt").c_str(), bytes, nullptr, &why));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(why, "is not among the files the first process sent");
    vyxBundleReplayStop();
    EXPECT_FALSE(vyxReadWholeFile(present.c_str(), bytes)); // the disk again: removed
}

// Decoding checks everything: the encoding round-trips; every prefix, a count or length
// out of reach, an unknown kind, a second answer to one question are refused whole.
TEST(FileBundle, DecodingRefusesDamagedBytes) {
    const vyxFileBundle bundle = sampleBundle();
    const std::string encoded = vyxEncodeFileBundle(bundle);
    vyxFileBundle decoded;
    std::string error;
    ASSERT_TRUE(decodes(encoded, decoded, error)) << error;
    ASSERT_EQ(decoded.entries.size(), bundle.entries.size());
    EXPECT_EQ(decoded.byteCount, bundle.byteCount);
    for (const auto& [key, entry] : bundle.entries) {
        ASSERT_EQ(decoded.entries.count(key), 1u) << key;
        const vyxBundleEntry& other = decoded.entries[key];
        EXPECT_EQ(other.ok, entry.ok);
        EXPECT_EQ(other.opened, entry.opened);
        EXPECT_EQ(other.error, entry.error);
        EXPECT_EQ(other.bytes, entry.bytes);
    }
    for (size_t size = 0; size < encoded.size(); ++size) {
        EXPECT_FALSE(decodes(encoded.substr(0, size), decoded, error)) << "prefix of " << size << " bytes";
        EXPECT_TRUE(decoded.entries.empty());
    }
    EXPECT_FALSE(decodes(encoded + "x", decoded, error));

    struct Damage {
        size_t at;
        std::string bytes;
        const char* what;
    };
    const std::string huge(8, '\xff');
    const Damage damages[] = {
        {0, "VYXC", "marker"},    {4, std::string("\x02\0\0\0", 4), "version"},
        {8, huge, "entry count"}, {16, std::string("\xff\xff\0\0", 4), "name length"},
        {20, "Z", "kind"},
    };
    for (const Damage& damage : damages) {
        std::string bad = encoded;
        bad.replace(damage.at, damage.bytes.size(), damage.bytes);
        EXPECT_FALSE(decodes(bad, decoded, error)) << damage.what;
    }
    // The same question twice: the second entry renamed to the first's key.
    vyxFileBundle twice;
    twice.entries["Fa"] = vyxBundleEntry();
    twice.entries["Fb"] = vyxBundleEntry();
    std::string doubled = vyxEncodeFileBundle(twice);
    doubled[doubled.find("Fb") + 1] = 'a';
    EXPECT_FALSE(decodes(doubled, decoded, error));
    EXPECT_NE(error.find("second answer"), std::string::npos) << error;
}
