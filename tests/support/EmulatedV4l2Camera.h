// The thermal camera as the V4L2 layer meets it on a real system, for the tests: umockdev builds
// its sysfs tree (the USB device 1d6b:0102, its video interface, video4linux/video0 with name,
// index, dev and the device link, and a UVC metadata node video1 beside it) and its node
// /dev/video0, and the ioctl handler here answers what a UVC driver answers: QUERYCAP, G_FMT and
// S_FMT, S_PARM, REQBUFS (MMAP), QUERYBUF, QBUF, DQBUF, STREAMON and STREAMOFF.
//
// The node is a regular file as long as all its buffers (buffer i at i x buffer size), so the
// program's mmap of the node maps that file: a frame is written into the file at its buffer's
// offset before the DQBUF that hands the buffer over completes. poll on a regular file returns
// at once, so a DQBUF is held until the frame is due instead of answering EAGAIN (which would
// make the capture thread spin); a stream with nothing to send answers EAGAIN after a frame's
// period. The frames are the virtual camera's: its scene and its scenario's clock, alarm and
// temperature words.
//
// The buffers belong to the file descriptor (umockdev's client) that asked for them until it is
// closed: an S_FMT or REQBUFS through another one meanwhile is EBUSY, as a driver answers. plug()
// and unplug() send udev "add" and "remove" events, which reach libudev monitors of any process
// under umockdev's preload; after an unplug every request fails with ENODEV. The test process must
// run under umockdev-wrapper; programs it starts inherit the preload and reach the same camera.
//
// Threads: umockdev runs the handler and its timers on its worker thread; the test thread builds
// the camera, plugs and unplugs it and reads its counts. m_mutex guards the node state. The
// testbed is touched by the test thread only (plug, unplug), the node files by the worker only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Framegate {
class VirtualScenario;
}
// umockdev's types, declared as its header does: that header cannot meet Qt's keywords.
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

class EmulatedV4l2Camera {
public:
    // What happens to one frame, by its number from STREAMON on.
    enum class FrameFault {
        kNone,
        kIoError,  // DQBUF fails with EIO; the frame is lost, the buffer stays queued
        kShort,    // handed over with bytesused half the picture
        kLost,     // the driver lost it: nothing is sent, the next sequence number skips it
    };
    struct Setup {
        // The frames' scenario: "demo" or a scenario file (its timeline's stalls send nothing).
        std::string scenario = "demo";
        // The driver's answer to S_FMT: another size (0: the size asked for), another format.
        int grantedWidth = 0;
        int grantedHeight = 0;
        uint32_t grantedFormat = 0x56595559;  // V4L2_PIX_FMT_YUYV
        std::function<FrameFault(uint64_t frame)> fault;
        bool webcam = false;  // a second camera, 046d:0825 "USB Webcam", at video2
        bool plugged = true;  // plugged in from the start
    };

    static std::string Unavailable();

    explicit EmulatedV4l2Camera(Setup setup);
    ~EmulatedV4l2Camera();
    EmulatedV4l2Camera(const EmulatedV4l2Camera&) = delete;
    EmulatedV4l2Camera& operator=(const EmulatedV4l2Camera&) = delete;

    // The thermal camera (its two nodes) comes and goes, with its udev events.
    void plug();
    void unplug();
    // While paused the camera sends nothing, as a stream that died; it stays plugged in and its
    // stream open, and a reopened stream stays quiet too.
    void pause(bool paused);
    // Frames handed over by the thermal camera's node since it was built.
    uint64_t framesDelivered() const;
    // Gives /dev/video0 `mode` and lets other users into the testbed, so that a program run as
    // one of them meets a node it may not open. False, with errno, when it cannot.
    bool setNodeMode(unsigned mode);

private:
    struct Node;

    // GLib callbacks (gboolean, gpointer).
    static int OnIoctl(void* handler, UMockdevIoctlClient* client, void* node);
    static int OnFrameDue(void* node);
    void handle(Node& node, UMockdevIoctlClient* client);
    void dequeue(Node& node, UMockdevIoctlClient* client);
    // m_mutex held: hands over the due frame to the waiting DQBUF, or waits for it.
    void serve(Node& node);
    void writeFrame(Node& node, uint32_t index, uint64_t frame);

    Setup m_setup;
    UMockdevTestbed* m_testbed = nullptr;
    std::string m_root;
    std::unique_ptr<const Framegate::VirtualScenario> m_scenario;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Node>> m_nodes;  // video0, video1 (metadata), video2 (webcam)
    uint64_t m_delivered = 0;
    bool m_paused = false;
};
