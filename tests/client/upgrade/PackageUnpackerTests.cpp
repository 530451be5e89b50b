#include "upgrade/PackageUnpacker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using CalorviewTest::readFile;
using CalorviewTest::TempDir;

namespace {

struct Item {
    std::string name;
    std::string data;
    uint32_t unixMode = 0;  // stored unix attributes; 0: made on a host without them
    int method = Z_DEFLATED;
    // Set: the data is stored pre-compressed with this declared size and CRC.
    std::optional<uint64_t> declaredSize = std::nullopt;
    std::optional<uint32_t> declaredCrc = std::nullopt;
    size_t keepCompressed = std::string::npos;  // cuts the pre-compressed data short
};

// 2023-05-17 10:20:30, local time.
constexpr tm_zip kStoredTime = {30, 20, 10, 17, 4, 2023};

std::string RawDeflate(const std::string& data) {
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, data.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

uint32_t Crc(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

void WriteZip(const std::string& path, const std::vector<Item>& items) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    for (const Item& item : items) {
        zip_fileinfo info{};
        info.tmz_date = kStoredTime;
        info.external_fa = uLong{item.unixMode} << 16;
        const bool raw = item.declaredSize.has_value();
        const uLong madeBy = item.unixMode ? (3 << 8) | 20 : 20;
        ASSERT_EQ(
            zipOpenNewFileInZip4_64(zip, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    item.method, item.method ? 6 : 0, raw ? 1 : 0, -MAX_WBITS, 8,
                                    Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 0, 0),
            ZIP_OK);
        const std::string bytes =
            (raw && item.method == Z_DEFLATED ? RawDeflate(item.data) : item.data)
                .substr(0, item.keepCompressed);
        ASSERT_EQ(zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size())),
                  ZIP_OK);
        ASSERT_EQ(raw ? zipCloseFileInZipRaw64(zip, *item.declaredSize, *item.declaredCrc)
                      : zipCloseFileInZip(zip),
                  ZIP_OK);
    }
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

// Image-like bytes: smooth but not constant, so deflate has work to do.
std::string Pixels(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i / 7 + seed * 31 + (i * seed) % 5) & 0xff);
    }
    return data;
}

// Every path below `root`, symbolic links included but not followed.
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        paths.insert(fs::relative(entry.path(), root).string());
    }
    return paths;
}

// Unpacks a package of `items`; "" on success, else the reason given.
std::string UnpackItems(const std::vector<Item>& items, const std::string& folder,
                        const PackageUnpacker::Limits& limits = {}) {
    TempDir zipDir;
    const std::string zip = zipDir.file("package.zip");
    WriteZip(zip, items);
    std::string error;
    if (PackageUnpacker::Unpack(zip, folder, &error, limits) == 1) {
        return "";
    }
    EXPECT_FALSE(error.empty());
    return error;
}

TEST(PackageUnpackerTest, UnpacksFilesFoldersModesAndTimesAndReplacesExistingFiles) {
    TempDir dir;
    const std::string out = dir.path().string() + "/";
    CalorviewTest::writeFile(dir.file("manifest.json"), "old and longer content");
    const std::string image = Pixels(300000, 1);
    const std::vector<Item> items = {
        {"firmware/", "", 040755},
        {"firmware/app.img", image},
        {"firmware/boot/loader.bin", Pixels(5000, 2), 0100644, 0},
        {"empty.txt", ""},
        {"empty-folder/", ""},
        {"manifest.json", "{}", 0104777},
        // A stored link becomes a regular file holding its target's name.
        {"notes.lnk", "/etc/passwd", 0120777},
    };

    ASSERT_EQ(UnpackItems(items, out), "");

    EXPECT_EQ(readFile(dir.file("firmware/app.img")), image);
    EXPECT_EQ(readFile(dir.file("firmware/boot/loader.bin")), Pixels(5000, 2));
    EXPECT_EQ(readFile(dir.file("manifest.json")), "{}");
    EXPECT_TRUE(fs::is_regular_file(dir.file("empty.txt")));
    EXPECT_EQ(fs::file_size(dir.file("empty.txt")), 0u);
    EXPECT_TRUE(fs::is_directory(dir.file("empty-folder")));
    EXPECT_FALSE(fs::is_symlink(dir.file("notes.lnk")));
    EXPECT_EQ(readFile(dir.file("notes.lnk")), "/etc/passwd");

    std::tm local{};
    strptime("2023-05-17 10:20:30", "%Y-%m-%d %H:%M:%S", &local);
    local.tm_isdst = -1;
    const time_t stored = std::mktime(&local);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("firmware/app.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, stored);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(dir.file("manifest.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);  // setuid and group/world write stripped
    EXPECT_EQ(st.st_mtime, stored);
    for (const std::string& path : Tree(dir.path())) {
        EXPECT_EQ(path.find(".part-"), std::string::npos) << path;
    }
}

// Archives as other tools write them: Python's zipfile and Info-ZIP's zip at every level, zlib's
// fixed Huffman blocks, stored entries. The entries end just past whole 16 KiB blocks, where
// inflate still holds output when the output block fills on the last input.
TEST(PackageUnpackerTest, UnpacksArchivesOfOtherWriters) {
    static const char kWriters[] = R"(
import os, subprocess, sys, zipfile, zlib
out = sys.argv[1]
os.mkdir(out + "/src")
names = []
for size in (16385, 16389, 16684, 32769, 49153, 65537, 65841):
    names.append("img%d" % size)
    with open(out + "/src/" + names[-1], "wb") as f:
        f.write((b"0123456789abcdef" * size)[:size])
def python(label, method, level, strategy=zlib.Z_DEFAULT_STRATEGY):
    zipfile._get_compressor = lambda kind, unused=None: zlib.compressobj(
        level, zlib.DEFLATED, -15, 9, strategy) if kind == zipfile.ZIP_DEFLATED else None
    with zipfile.ZipFile(out + "/" + label + ".zip", "w", method) as z:
        for name in names:
            z.write(out + "/src/" + name, name)
for level in range(10):
    python("python-%d" % level, zipfile.ZIP_DEFLATED, level)
    python("fixed-%d" % level, zipfile.ZIP_DEFLATED, level, zlib.Z_FIXED)
    subprocess.run(["zip", "-q", "-%d" % level, "../zip-%d.zip" % level] + names,
                   cwd=out + "/src", check=True)
python("stored", zipfile.ZIP_STORED, 0)
)";
    TempDir dir;
    CalorviewTest::writeFile(dir.file("writers.py"), kWriters);
    ASSERT_EQ(
        std::system(("python3 " + dir.file("writers.py") + " " + dir.path().string()).c_str()), 0);
    int archives = 0;
    for (const auto& zip : fs::directory_iterator(dir.path())) {
        if (zip.path().extension() != ".zip") {
            continue;
        }
        SCOPED_TRACE(zip.path().filename());
        ++archives;
        const std::string out = dir.file("out/" + zip.path().stem().string() + "/");
        std::string error;
        ASSERT_EQ(PackageUnpacker::Unpack(zip.path().string(), out, &error), 1) << error;
        for (const auto& source : fs::directory_iterator(dir.path() / "src")) {
            EXPECT_EQ(readFile(out + source.path().filename().string()),
                      readFile(source.path().string()));
        }
    }
    EXPECT_EQ(archives, 31);
}

TEST(PackageUnpackerTest, MakesStoredNamesRelative) {
    const std::string long259 = std::string(200, 'd') + "/" + std::string(58, 'f');
    const struct {
        std::string stored;
        std::string expected;
    } cases[] = {
        {"C:/a.img", "a.img"},
        {"/abs/b.img", "abs/b.img"},
        {"x/../../c.img", "c.img"},
        {"dir\\..\\d.img", "d.img"},
        {"\\\\server\\share\\e.img", "server/share/e.img"},
        {"./f/./g.img", "f/g.img"},
        {long259, long259},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        TempDir dir;
        ASSERT_EQ(UnpackItems({{c.stored, "data"}}, dir.path().string() + "/"), "");
        EXPECT_EQ(readFile(dir.file(c.expected)), "data");
        EXPECT_EQ(Tree(dir.path()).count(c.expected), 1u);
    }
}

// Packages refused before anything is written: the whole tree, target folder and its
// neighbours, is unchanged afterwards.
TEST(PackageUnpackerTest, RefusesUnsafeOrOversizedPackagesWithoutWritingAnything) {
    const auto link = [](const char* from, const char* to) {
        return [=](const fs::path& root) { fs::create_symlink(root / to, root / "out" / from); };
    };
    const std::function<void(const fs::path&)> none = [](const fs::path&) {};
    PackageUnpacker::Limits threeEntries;
    threeEntries.maxEntries = 3;
    PackageUnpacker::Limits oneMiB;
    oneMiB.maxTotalBytes = 1 << 20;
    const struct {
        const char* label;
        std::vector<Item> items;
        std::function<void(const fs::path&)> setup;
        PackageUnpacker::Limits limits;
        std::string reason;
    } cases[] = {
        {"parent step", {{"ok.img", "x"}, {"../evil", "x"}}, none, {}, "outside the folder"},
        {"backslash parent", {{"ok.img", "x"}, {"..\\evil", "x"}}, none, {}, "outside"},
        {"leading slash then parent", {{"/../evil", "x"}}, none, {}, "outside"},
        {"drive then parent", {{"C:..\\evil", "x"}}, none, {}, "outside"},
        {"absolute after clean-up", {{"a/..//tmp/evil", "x"}}, none, {}, "outside"},
        {"inner parent step", {{"a/b/..", "x"}}, none, {}, "outside"},
        {"stored link used as folder",
         {{"link", "../outside", 0120777}, {"link/evil", "x"}},
         none,
         {},
         "both a file and a folder"},
        {"symlinked folder in place",
         {{"ok.img", "x"}, {"sub/evil", "x"}},
         link("sub", "outside"),
         {},
         "symbolic link"},
        {"symlinked file in place",
         {{"f.img", "x"}},
         link("f.img", "outside/f.img"),
         {},
         "symbolic link"},
        {"name over 259",
         {{std::string(100, 'd') + "/" + std::string(159, 'f'), "x"}},
         none,
         {},
         "longer than 259"},
        {"too many entries",
         {{"1", "x"}, {"2", "x"}, {"3", "x"}, {"4", "x"}},
         none,
         threeEntries,
         "archive holds more than 3 entries"},
        {"zip bomb",
         {{"zeros.img", std::string(16 << 20, '\0')}},
         none,
         oneMiB,
         "more than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir root;
        fs::create_directory(root.path() / "out");
        fs::create_directory(root.path() / "outside");
        c.setup(root.path());
        const std::set<std::string> before = Tree(root.path());

        const std::string error = UnpackItems(c.items, root.file("out/"), c.limits);

        EXPECT_THAT(error, testing::HasSubstr(c.reason));
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_EQ(Tree(root.path()), before);
    }
}

// Entries whose data betrays its header: the unpack fails and leaves neither the file nor a
// temporary; an empty file that fails is passed over.
TEST(PackageUnpackerTest, RejectsEntriesWhoseDataDoesNotMatchTheirHeader) {
    const std::string data = Pixels(200000, 3);
    const std::string head = data.substr(0, 1000);
    PackageUnpacker::Limits oneMiB;
    oneMiB.maxTotalBytes = 1 << 20;
    const struct {
        const char* label;
        Item item;
        PackageUnpacker::Limits limits;
        std::string reason;  // empty: the unpack succeeds
    } cases[] = {
        {"declared smaller, CRC of the head",
         {"a.img", data, 0, Z_DEFLATED, 1000, Crc(head)},
         {},
         "entry \"a.img\" is larger than it claims"},
        {"lying zip bomb",
         {"a.img", std::string(16 << 20, '\0'), 0, Z_DEFLATED, 512 << 10, 0},
         oneMiB,
         "larger than it claims"},
        {"declared larger", {"a.img", head, 0, Z_DEFLATED, 2000, Crc(head)}, {}, "smaller"},
        {"wrong CRC, deflated", {"a.img", data, 0, Z_DEFLATED, data.size(), 1}, {}, "CRC error"},
        {"wrong CRC, stored", {"a.img", head, 0, 0, head.size(), 1}, {}, "CRC error"},
        {"stored, longer than declared", {"a.img", head, 0, 0, 999, Crc(head)}, {}, "larger"},
        {"truncated deflate stream",
         {"a.img", data, 0, Z_DEFLATED, data.size(), Crc(data), 500},
         {},
         "truncated"},
        {"empty file with data", {"a.img", head, 0, Z_DEFLATED, 0, 0}, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string error = UnpackItems({c.item}, dir.path().string() + "/", c.limits);
        if (c.reason.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_THAT(error, testing::HasSubstr(c.reason));
        }
        EXPECT_TRUE(Tree(dir.path()).empty());
    }
}

TEST(PackageUnpackerTest, FailsOnCorruptedCompressedData) {
    TempDir dir;
    TempDir zipDir;
    const std::string zip = zipDir.file("package.zip");
    WriteZip(zip, {{"a.img", Pixels(200000, 4)}});
    std::string bytes = readFile(zip);
    // The data follows the 30-byte local header and the name; no extra field.
    const size_t dataStart = 30 + 5;
    uint32_t compressed = 0;
    std::memcpy(&compressed, bytes.data() + 18, 4);
    ASSERT_GT(compressed, 100u);
    for (size_t i = 0; i < 8; ++i) {
        bytes[dataStart + compressed / 2 + i] ^= 0x5a;
    }
    CalorviewTest::writeFile(zip, bytes);

    std::string error;
    EXPECT_EQ(PackageUnpacker::Unpack(zip, dir.path().string() + "/", &error), 0);
    // What a flipped byte does to the inflated data varies; any of these reasons will do.
    EXPECT_THAT(error, testing::ContainsRegex("CRC error|corrupt|claims|truncated"));
    EXPECT_TRUE(Tree(dir.path()).empty());
}

TEST(PackageUnpackerTest, FailsOnMissingOrNonZipFile) {
    TempDir dir;
    CalorviewTest::writeFile(dir.file("not.zip"), "PK but not a zip archive at all");
    for (const std::string& path : {dir.file("missing.zip"), dir.file("not.zip")}) {
        std::string error;
        EXPECT_EQ(PackageUnpacker::Unpack(path, dir.path().string() + "/", &error), 0);
        EXPECT_EQ(error, "cannot open zip archive");
    }
}

}  // namespace
