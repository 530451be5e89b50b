#include "capture/v4l2/V4l2Enumerator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "camlib/FakeV4l2Api.h"
#include "support/TempDir.h"

using CalorviewTest::FakeV4l2Api;
using CalorviewTest::TempDir;
using CalorviewTest::writeFile;
using Framegate::CaptureDeviceInfo;
using Framegate::V4l2Enumerator;

namespace {

namespace fs = std::filesystem;

// A sysfs tree laid out like the kernel's: class/video4linux/videoN links to the node's folder
// under devices/, whose "device" link points at its parent (a USB interface or a platform
// device), and the root hub above a USB device carries ids of its own.
class FakeSysfs {
public:
    explicit FakeSysfs(const fs::path& root) : m_root(root) {
        fs::create_directories(m_root / "class/video4linux");
        const fs::path hub = m_root / "devices/pci0000:00/0000:00:14.0/usb1";
        fs::create_directories(hub);
        writeFile((hub / "idVendor").string(), "1d6b\n");
        writeFile((hub / "idProduct").string(), "0002\n");
    }

    void addUsbNode(const std::string& node, const std::string& usbFolder,
                    const std::string& vendor, const std::string& product) {
        const fs::path device = m_root / "devices/pci0000:00/0000:00:14.0/usb1" / usbFolder;
        fs::create_directories(device);
        writeFile((device / "idVendor").string(), vendor + "\n");
        writeFile((device / "idProduct").string(), product + "\n");
        addNode(node, device / (usbFolder + ":1.0"));
    }

    void addPlatformNode(const std::string& node) {
        addNode(node, m_root / "devices/platform/vivid.0");
    }

    // A node without a parent device, like a loopback device.
    void addVirtualNode(const std::string& node) {
        const fs::path folder = m_root / "devices/virtual/video4linux" / node;
        fs::create_directories(folder);
        fs::create_directory_symlink(folder, m_root / "class/video4linux" / node);
    }

private:
    void addNode(const std::string& node, const fs::path& parent) {
        const fs::path folder = parent / "video4linux" / node;
        fs::create_directories(folder);
        fs::create_directory_symlink("../../../" + parent.filename().string(), folder / "device");
        fs::create_directory_symlink(fs::relative(folder, m_root / "class/video4linux"),
                                     m_root / "class/video4linux" / node);
    }

    fs::path m_root;
};

class V4l2EnumeratorTest : public ::testing::Test {
protected:
    V4l2EnumeratorTest() : m_sysfs(m_temp.path() / "sys") {}

    std::string dev(const std::string& node) const { return m_devRoot + "/" + node; }

    void addDevice(const std::string& node,
                   const std::function<void(FakeV4l2Api::Device&)>& script = {}) {
        m_api.addDevice(dev(node), script);
    }

    std::vector<CaptureDeviceInfo> devices() {
        return V4l2Enumerator(m_api, (m_temp.path() / "sys").string(), m_devRoot).devices();
    }

    TempDir m_temp;
    FakeSysfs m_sysfs;
    FakeV4l2Api m_api;
    const std::string m_devRoot = "/fakedev";
};

TEST_F(V4l2EnumeratorTest, UsbCameraCarriesItsOwnIdsNotTheRootHubs) {
    m_sysfs.addUsbNode("video0", "1-1", "1d6b", "0102");
    addDevice("video0");

    const auto found = devices();

    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, CaptureDeviceInfo::Kind::kV4l2);
    EXPECT_EQ(found[0].locator, dev("video0"));
    EXPECT_EQ(found[0].friendlyName, "Thermal Camera");
    EXPECT_EQ(found[0].devicePath, "usb#vid_1d6b&pid_0102#1-1#" + dev("video0"));
    EXPECT_EQ(m_api.openHandles(), 0);
}

TEST_F(V4l2EnumeratorTest, UsbIdsAreFourLowerCaseHexDigits) {
    const struct {
        const char* vendor;
        const char* product;
        const char* ids;
    } cases[] = {
        {"1D6B", "0102", "vid_1d6b&pid_0102"},
        {"46d", "85c", "vid_046d&pid_085c"},
        {"0bda", "58Fa", "vid_0bda&pid_58fa"},
    };
    int port = 1;
    for (const auto& c : cases) {
        const std::string node = "video" + std::to_string(port);
        const std::string folder = "1-" + std::to_string(port++);
        m_sysfs.addUsbNode(node, folder, c.vendor, c.product);
        addDevice(node);
    }

    const auto found = devices();

    ASSERT_EQ(found.size(), std::size(cases));
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_NE(found[i].devicePath.find(cases[i].ids), std::string::npos) << found[i].devicePath;
    }
}

TEST_F(V4l2EnumeratorTest, KeepsOnlyNodesThatCaptureVideo) {
    constexpr __u32 kCaps = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE;
    const struct {
        const char* what;
        __u32 capabilities;
        __u32 deviceCaps;
        bool kept;
    } cases[] = {
        {"video node of a camera", kCaps, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, true},
        {"metadata node of the same camera", kCaps, V4L2_CAP_META_CAPTURE, false},
        {"output node", V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_OUTPUT, V4L2_CAP_VIDEO_OUTPUT, false},
        {"multi-planar capture only", V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE_MPLANE,
         V4L2_CAP_VIDEO_CAPTURE_MPLANE, false},
        {"old driver without device caps", V4L2_CAP_VIDEO_CAPTURE, 0, true},
        {"old driver, metadata only", V4L2_CAP_META_CAPTURE, V4L2_CAP_VIDEO_CAPTURE, false},
    };
    for (const auto& c : cases) {
        FakeV4l2Api api;
        api.addDevice("/fakedev/video0", [&c](auto& d) {
            d.capabilities = c.capabilities;
            d.deviceCaps = c.deviceCaps;
        });
        TempDir temp;
        FakeSysfs(temp.path()).addUsbNode("video0", "1-1", "1d6b", "0102");

        const auto found = V4l2Enumerator(api, temp.path().string(), "/fakedev").devices();

        EXPECT_EQ(found.size(), c.kept ? 1u : 0u) << c.what;
    }
}

TEST_F(V4l2EnumeratorTest, ListsInNodeNumberOrderAndSkipsWhatCannotBeAsked) {
    for (const char* node : {"video10", "video2", "video1", "video3", "video4"}) {
        m_sysfs.addPlatformNode(node);
    }
    m_sysfs.addPlatformNode("videofoo");
    m_sysfs.addPlatformNode("v4l-subdev0");
    for (const char* node : {"video10", "video2", "video1", "videofoo", "v4l-subdev0"}) {
        addDevice(node);
    }
    // video3 has no device node; video4 does not answer VIDIOC_QUERYCAP.
    addDevice("video4", [](auto& d) { d.ioctlErrors = {{VIDIOC_QUERYCAP, EIO}}; });

    std::vector<std::string> locators;
    for (const auto& device : devices()) {
        locators.push_back(device.locator);
    }

    EXPECT_EQ(locators, (std::vector<std::string>{dev("video1"), dev("video2"), dev("video10")}));
    EXPECT_EQ(m_api.openHandles(), 0);
}

TEST_F(V4l2EnumeratorTest, NonUsbNodesAreNamedByBusOrDriver) {
    m_sysfs.addPlatformNode("video3");
    addDevice("video3", [](auto& d) {
        d.card = "vivid";
        d.driver = "vivid";
        d.busInfo = "platform:vivid-000";
    });
    m_sysfs.addVirtualNode("video5");
    addDevice("video5", [](auto& d) {
        d.card = "Loopback";
        d.driver = "v4l2 loopback";
        d.busInfo = "";
    });

    const auto found = devices();

    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].devicePath, "v4l2#platform:vivid-000#" + dev("video3"));
    EXPECT_EQ(found[1].devicePath, "v4l2#v4l2 loopback#" + dev("video5"));
    EXPECT_EQ(found[1].friendlyName, "Loopback");
}

TEST_F(V4l2EnumeratorTest, CardNameFillingTheWholeFieldIsKeptWhole) {
    const std::string card(32, 'C');  // no room for a terminating NUL in v4l2_capability
    m_sysfs.addUsbNode("video0", "1-1", "1d6b", "0102");
    addDevice("video0", [&card](auto& d) { d.card = card; });

    const auto found = devices();

    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].friendlyName, card);
}

TEST(V4l2EnumeratorRootTest, NoVideoClassMeansNoDevices) {
    TempDir empty;
    FakeV4l2Api api;
    EXPECT_TRUE(V4l2Enumerator(api, empty.path().string(), "/fakedev").devices().empty());
}

}  // namespace
