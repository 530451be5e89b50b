#include "FailureLine.h"

#include <gtest/gtest.h>

namespace {

// Protocol logs as the upgrade writes them, with what the transport knew, and the line the user
// must be left with.
TEST(UpgradeFailureLineTest, NamesTheRealReason) {
    const std::string unplugged =
        "writeData: 55 50 44 41 , USBUPGRADE_cmd: 00\n"
        "sendDataWithReply readData, recvLen<=0\n"
        "USB_CAM_Update Retry : sendUpgrade  Retry\n"
        " -->0USB_CAM_Update  :UPDATE-USB3-END-->fail\n";
    const std::string bootLoaderGone =
        "USB_CAM_Update: loading the boot programmer /opt/BootProgrammer/SlaveFifoSync-boot.img "
        "failed\n";
    const std::string hostile =
        "Zip_UnPackFiles: entry \"../evil.img\" would land outside the folder\n"
        "Unpacket_Updatefile Zip_UnPackFiles 00000000:  ptzpath: /tmp/up/\n"
        "Upgradingfile Zip_UnPackFiles fail please check\n";
    const struct {
        const char* label;
        std::string transport;
        std::string log;
        std::string line;
    } cases[] = {
        {"unplugged", "the camera went away (unplugged or restarting)", unplugged,
         "the upgrade failed: the camera went away (unplugged or restarting)"},
        {"boot loader never returned",
         "the camera did not come back within 15 s after loading the boot programmer",
         bootLoaderGone,
         "the upgrade failed: the camera did not come back within 15 s after loading the boot "
         "programmer"},
        {"refused chunks, no transport reason", "", unplugged,
         "the upgrade failed: USB_CAM_Update  :UPDATE-USB3-END-->fail"},
        {"hostile package", "", hostile,
         "the upgrade failed: Zip_UnPackFiles: entry \"../evil.img\" would land outside the "
         "folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FailureLine(true, c.transport, c.log), c.line);
    }
}

}  // namespace
