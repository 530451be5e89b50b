// Mutated packages: random bytes of a valid archive changed, sometimes cut short. Whatever the
// outcome, the unpacker must return, write only inside its folder, create no symbolic link and
// leave no temporary behind.
#include <gtest/gtest.h>
#include <minizip/zip.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "support/TempDir.h"
#include "upgrade/PackageUnpacker.h"

namespace fs = std::filesystem;
using CalorviewTest::TempDir;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNPACKER_FUZZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNPACKER_FUZZ_SANITIZED 1
#endif
#endif

namespace {

#ifdef UNPACKER_FUZZ_SANITIZED
constexpr int kCases = 300;
#else
constexpr int kCases = 2000;
#endif
constexpr auto kTimeBudget = std::chrono::seconds(2);

std::string SeedArchive(const std::string& path) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    const auto add = [&](const char* name, const std::string& data, int method) {
        zip_fileinfo info{};
        zipOpenNewFileInZip(zip, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                            method ? 6 : 0);
        zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size()));
        zipCloseFileInZip(zip);
    };
    std::string image(20000, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i / 13 + i % 3);
    }
    add("pkg/", "", 0);
    add("pkg/app.img", image, Z_DEFLATED);
    add("pkg/sub/conf.json", "{\"version\": 1}", 0);
    add("empty", "", Z_DEFLATED);
    zipClose(zip, nullptr);
    return CalorviewTest::readFile(path);
}

std::string Mutated(std::string bytes, std::mt19937& random) {
    static const char kInteresting[] = {'.', '/', '\\', ':', '\0', '\xff', '\x7f'};
    const int changes = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < changes; ++i) {
        char& byte = bytes[random() % bytes.size()];
        byte = random() % 3 ? static_cast<char>(random())
                            : kInteresting[random() % sizeof kInteresting];
    }
    if (random() % 4 == 0) {
        bytes.resize(random() % bytes.size());
    }
    return bytes;
}

// The only thing below `root` is the folder chain root/p1/p2/out.
void ExpectOnlyTheTargetChain(const fs::path& root) {
    for (const fs::path& dir : {root, root / "p1", root / "p1" / "p2"}) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            const fs::path name = entry.path().filename();
            EXPECT_TRUE(name == "p1" || name == "p2" || name == "out") << entry.path();
        }
    }
}

TEST(PackageUnpackerFuzzTest, MutatedArchivesStayInsideTheFolder) {
    TempDir zipDir;
    TempDir root;
    const std::string seed = SeedArchive(zipDir.file("seed.zip"));
    ASSERT_FALSE(seed.empty());
    const fs::path out = root.path() / "p1" / "p2" / "out";
    const std::string zip = zipDir.file("case.zip");
    PackageUnpacker::Limits limits;
    limits.maxTotalBytes = 4 << 20;
    limits.maxEntries = 64;

    std::mt19937 random(20240517);
    const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
    for (int i = 0; i < kCases && std::chrono::steady_clock::now() < deadline; ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        fs::create_directories(out);
        CalorviewTest::writeFile(zip, Mutated(seed, random));

        std::string error;
        if (PackageUnpacker::Unpack(zip, out.string() + "/", &error) == 0) {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        }

        ExpectOnlyTheTargetChain(root.path());
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            EXPECT_FALSE(entry.is_symlink()) << entry.path();
            EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos)
                << entry.path();
        }
        fs::remove_all(out);
        if (HasFailure()) {
            break;
        }
    }
}

}  // namespace
