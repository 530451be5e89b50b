// One video input device turned into a stream of YUY2 frames handed to a listener.
//
// Threads: the open, close and listener calls come from one controlling thread (the exports'
// caller). The worker thread "Threadbase" starts streaming once the open has built the capture,
// reports the outcome to the waiting open (m_startMutex, m_startDone), then ends. Frames arrive on
// the capture stream's own thread and are delivered under m_lock, which SetListener and CloseCamera
// also take: once they return, no delivery to the old listener is running and none will start.
//
// A start that does not answer in time (a driver stuck in its stream start) is given up: the open
// fails, the worker stays inside the driver and the device stays held (no open of it succeeds)
// until the start returns. Such an object is released with Destroy, which never waits for the
// driver; CloseCamera, another open and the destructor wait for the start to return first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "CSFMutex.h"
#include "ThreadBase.h"
#include "capture/CaptureDeviceInfo.h"

class CSampleGrabberCB;
class IUSBCameraDeviceListerner;

namespace Framegate {
class CaptureStream;
}

class CCameraDS : public ThreadBase {
public:
    CCameraDS();
    // Closes the camera; the thread base then waits for the worker to end.
    ~CCameraDS() override;
    // Controlling thread: detaches the listener and deletes `camera`, unless its stream start was
    // given up and is still inside the driver: then its worker takes the object over and deletes
    // it once the start returns. Never waits for the driver.
    static void Destroy(CCameraDS* camera);

    // An open camera is closed first (its listener detached): attach the listener after opening.
    bool OpenCamera(void* hWnd, int nCamID, int mirror, int orientation, int width, int height);
    // The open the client uses: asks for YUYV width x height at 25 fps; the worker thread
    // starts streaming and the open fails when the device refuses to stream, or does not answer
    // within 5 s (the start is given up then, see above).
    bool OpenCameraAndNoDisplay(int nCamID, int width, int height);
    // Opens with a preview window. There is no platform video window to draw into, so it keeps
    // only the bookkeeping: the first such open in the process starts streaming on the calling
    // thread, later ones succeed without building anything while that camera stays open.
    bool OpenCameraWithWindow(int nCamID, int width, int height, void* hWnd);
    void CloseCamera();
    void SetListener(IUSBCameraDeviceListerner* listener);

    // Streaming thread: delivers one sample to the listener under the camera lock.
    void OnData(const unsigned char* data, long length);
    // Streaming thread: a sample was dropped before delivery (erroneous or short).
    void NoteDroppedSample();
    // Any thread: whether a listener is set, read without the lock.
    bool HasListener() const { return m_pListerner.load(std::memory_order_acquire) != nullptr; }

    void SetMirror(bool mirror) { m_bMirror = mirror; }
    void SetOrientation(int orientation) { m_nOrientation = orientation; }
    long DroppedSamples() const { return m_nDropped.load(); }

    // The thermal-camera lookup: the first device whose path holds "vid_1d6b&pid_0102".
    static bool CameraName(char* name, int* index);
    static int CameraCount();
    // The device at position nCamID, when its name can be read. False when none is bound.
    static bool BindDevice(int nCamID, Framegate::CaptureDeviceInfo* device);
    // Whether `device`, found at nCamID now, is the one the last lookup listed there.
    static bool StillListedAt(int nCamID, const Framegate::CaptureDeviceInfo& device);

protected:
    // Worker body: waits for the opened flag (or a stop request), then starts streaming.
    void threadProc() override;

private:
    enum class Build { kQuiet, kWithMessages };
    // kAbandoned: the open stopped waiting while the worker was still inside the start.
    enum class StartState { kPending, kStarted, kRefused, kAbandoned };
    // Binds the device and negotiates the format; leaves the stream in m_pStream.
    bool BuildCapture(int nCamID, int width, int height, Build messages);

    std::atomic<bool> m_bOpened{false};
    // The worker's answer to the open: written by the worker, read by the open, both under
    // m_startMutex.
    std::mutex m_startMutex;
    std::condition_variable m_startDone;
    StartState m_startState = StartState::kPending;
    // Set by Destroy, under m_startMutex, on an abandoned start: the worker owns the object now.
    bool m_bHandedOver = false;
    // This camera holds its device in the process-wide set of stuck starts. Set by the open that
    // gives up, cleared by CloseCamera, which runs only after the worker ended (or on it).
    bool m_bDeviceHeld = false;
    bool m_bWindowedBuilder = false;  // this camera built the process's windowed capture
    std::string m_locator;            // the bound device, for messages
    // The connected format; written by the controlling thread while no stream runs.
    int m_nWidth = 0;
    int m_nHeight = 0;
    // Changed only under m_lock; read without it by the sample callback to skip early.
    std::atomic<IUSBCameraDeviceListerner*> m_pListerner{nullptr};
    int m_nCameraID = -1;
    std::unique_ptr<Framegate::CaptureStream> m_pStream;
    CSampleGrabberCB* m_pGrabberCB = nullptr;  // owned; created by an open, deleted at close
    void* m_hWnd = nullptr;
    bool m_bMirror = true;  // kept for the class surface; no frame path mirrors
    CSFMutex m_lock;
    int m_nOrientation = 0;
    std::atomic<long> m_nDropped{0};
};
