// Draws the live UYVY picture into the video window, letterboxed with black bars. The capture
// thread hands each picture over (RenderFrame) and asks for one queued repaint; the GUI thread
// converts the newest picture and paints it (Paint, from the window's paint event). A busy GUI
// thread costs superseded frames, never a backlog: only the newest picture is kept and at most
// one repaint request is queued. The capture thread never touches a widget.
//
// The "device" is the binding to a target window: Init makes it, Release drops it when the
// window goes away. One lock (m_Lock) guards the binding and the hand-over slot for the whole
// of Init, RenderFrame and Release; the shown picture belongs to the GUI thread.
#pragma once

#include <QImage>
#include <QRect>
#include <cstdint>
#include <mutex>
#include <vector>

#include "video/UyvyConverter.h"

class QPainter;
class QRegion;
class QWidget;

class D3DVideoRenderer {
public:
    // Counts since start-up, for diagnostics and measurements.
    struct Stats {
        uint64_t handedOver = 0;   // pictures RenderFrame accepted; also the latest's serial
        uint64_t shown = 0;        // pictures taken for display by Paint
        uint64_t superseded = 0;   // pictures replaced by a newer one before they were shown
        uint64_t shownSerial = 0;  // serial of the picture Paint shows now (0: none yet)
    };

    // The process-wide renderer, created on first use.
    static D3DVideoRenderer* instance();

    // Binds the renderer to `window`; true when a device exists afterwards (false for null).
    // GUI thread, or the capture thread after a failed RenderFrame. The last picture is kept
    // when the window stays the same (a re-layout), dropped for another window.
    bool Init(QWidget* window);
    // Drops the device if it is bound to `window`; the window's destructor calls it, after
    // frame delivery to the window has stopped. GUI thread.
    void Release(QWidget* window);
    // Hands over one picture of width x height UYVY pixels (rows packed) and asks the window
    // for a repaint: of the picture's area only when the bars stay as they are. False only when
    // Init must be called again: no device, or it was released. A picture of no size or of an
    // odd width (no whole UYVY pairs) is skipped (true). Capture thread.
    bool RenderFrame(const unsigned char* uyvy, int width, int height);
    // Paints the newest picture letterboxed over the whole of `window`, black bars around it;
    // `exposed` is the paint event's region. Paints nothing for a window it is not bound to,
    // before the first picture, or when the window has no area (minimised). True when it
    // painted, and so covered every pixel of the window. GUI thread, inside the window's paint
    // event.
    bool Paint(QWidget* window, QPainter* painter, const QRegion& exposed);
    Stats GetStats() const;

private:
    D3DVideoRenderer() = default;
    // Forgets the picture and the queued request of the current window. Holding m_Lock.
    void Unbind();
    // Converts the exposed part of the picture, placed at `target`, straight into the pixels
    // the painter paints on, when they are a plain image with nothing but a shift between it
    // and the window (a backing store, or an image the window is rendered into): one copy of
    // each frame fewer. False, having written nothing, otherwise.
    bool PaintInPlace(QPainter* painter, const QRect& target, const QRegion& exposed);

    mutable std::mutex m_Lock;
    // Guarded by m_Lock.
    QWidget* m_Target = nullptr;
    bool m_DropPicture = false;  // Paint forgets its picture: the device moved to another window
    bool m_RepaintQueued = false;
    bool m_PendingFresh = false;
    std::vector<unsigned char> m_Pending;
    int m_PendingWidth = 0;
    int m_PendingHeight = 0;
    uint64_t m_PendingSerial = 0;
    Stats m_Stats;

    // GUI thread only.
    std::vector<unsigned char> m_Showing;
    int m_ShowingWidth = 0;
    int m_ShowingHeight = 0;
    UyvyConverter m_Converter;
    QImage m_Image;            // m_Showing converted and scaled, where it cannot be in place
    bool m_Converted = false;  // m_Image holds m_Showing (at m_Image's size)
    bool m_HasPicture = false;
};
