#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "capture/virtual/VirtualCameraList.h"

namespace Framegate {
namespace {

using Kind = CaptureDeviceInfo::Kind;

class VirtualCameraListTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir = testing::TempDir() + "cameras_" + std::to_string(::getpid()) + "_" +
                std::to_string(++s_runs) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string file(const std::string& name, const std::string& text) const {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    // Bad-file reports are remembered per path for the whole process: a fresh path per run
    // keeps repeated runs (--gtest_repeat) independent.
    static inline int s_runs = 0;
    std::string m_dir;
};

std::vector<std::string> locatorsOf(const std::vector<CaptureDeviceInfo>& cameras) {
    std::vector<std::string> locators;
    for (const CaptureDeviceInfo& camera : cameras) {
        locators.push_back(camera.locator);
    }
    return locators;
}

TEST(VirtualCameraListParseTest, SplitsTheVariableInOrder) {
    struct Case {
        const char* value;
        std::vector<std::string> locators;
    };
    const Case cases[] = {
        {nullptr, {}},
        {"", {}},
        {":", {}},
        {"demo", {"demo"}},
        {"/b.json:demo:/a.json", {"/b.json", "demo", "/a.json"}},
        {"::/a.json::/dir with space/b.json:", {"/a.json", "/dir with space/b.json"}},
        {"/a.json:/a.json", {"/a.json", "/a.json"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VirtualCameraList(c.value).locators(), c.locators)
            << (c.value != nullptr ? c.value : "(unset)");
    }
}

TEST_F(VirtualCameraListTest, ListsPresentCamerasInListOrder) {
    const std::string named = file("named.json", R"({"name": "Door camera"})");
    const std::string plain = file("plain.json", "{}");
    const std::string missing = m_dir + "/missing.json";
    const VirtualCameraList list((plain + ":" + missing + ":demo:" + named + ":" + plain).c_str());
    const std::vector<CaptureDeviceInfo> cameras = list.present();
    ASSERT_EQ(locatorsOf(cameras), (std::vector<std::string>{plain, "demo", named, plain}));
    EXPECT_EQ(cameras[0].friendlyName, "Virtual Thermal Camera");
    EXPECT_EQ(cameras[1].friendlyName, "Virtual Thermal Camera");
    EXPECT_EQ(cameras[2].friendlyName, "Door camera");
    EXPECT_NE(cameras[0].devicePath, cameras[3].devicePath);  // the same file twice: two cameras
    for (const CaptureDeviceInfo& camera : cameras) {
        EXPECT_EQ(camera.kind, Kind::kVirtual);
        // The client finds the thermal camera by these ids.
        EXPECT_NE(camera.devicePath.find("vid_1d6b&pid_0102"), std::string::npos);
        EXPECT_NE(camera.devicePath.find(camera.locator), std::string::npos);
    }
}

// The file is the plug: delete it and the camera leaves the list, create it and it is back.
TEST_F(VirtualCameraListTest, FollowsTheScenarioFile) {
    const std::string path = file("plug.json", R"({"name": "Plugged"})");
    const VirtualCameraList list((path + ":demo").c_str());
    ASSERT_EQ(list.present().size(), 2u);
    std::filesystem::remove(path);
    EXPECT_EQ(locatorsOf(list.present()), std::vector<std::string>{"demo"});
    file("plug.json", R"({"name": "Plugged again"})");
    const std::vector<CaptureDeviceInfo> cameras = list.present();
    ASSERT_EQ(locatorsOf(cameras), (std::vector<std::string>{path, "demo"}));
    EXPECT_EQ(cameras[0].friendlyName, "Plugged again");
}

TEST_F(VirtualCameraListTest, BadFileIsListedWithTheDefaultName) {
    const std::string path = file("bad.json", R"({"name": ["x"]})");
    testing::internal::CaptureStderr();
    const std::vector<CaptureDeviceInfo> cameras = VirtualCameraList(path.c_str()).present();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("name"), std::string::npos);
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].friendlyName, "Virtual Thermal Camera");
}

}  // namespace
}  // namespace Framegate
