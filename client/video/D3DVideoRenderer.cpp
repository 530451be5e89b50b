#include "video/D3DVideoRenderer.h"

#include <QMetaObject>
#include <QPainter>
#include <QRegion>
#include <QWidget>
#include <cstring>
#include <utility>

#include "video/UyvyConverter.h"

namespace {
// The code Direct3D used for an invalid call; kept so the log line reads as it always has.
constexpr unsigned kInvalidCall = 0x8876086Cu;
}  // namespace

D3DVideoRenderer* D3DVideoRenderer::instance() {
    // Never destroyed: nothing needs releasing at exit, and a late call must not find it gone.
    static D3DVideoRenderer* const renderer = new D3DVideoRenderer;
    return renderer;
}

bool D3DVideoRenderer::Init(QWidget* window) {
    std::lock_guard lock(m_Lock);
    if (window != m_Target) {
        Unbind();
    }
    m_Target = window;
    if (window == nullptr) {
        qDebug("CreateDevice FALSE hResult=%08x \n", kInvalidCall);
        return false;
    }
    return true;
}

void D3DVideoRenderer::Release(QWidget* window) {
    std::lock_guard lock(m_Lock);
    if (window != nullptr && window == m_Target) {
        Unbind();
        m_Target = nullptr;
    }
}

void D3DVideoRenderer::Unbind() {
    m_DropPicture = true;
    m_PendingFresh = false;
    // A request queued for the old window dies with it; the new window must still get its own.
    m_RepaintQueued = false;
}

bool D3DVideoRenderer::RenderFrame(const unsigned char* uyvy, int width, int height) {
    std::lock_guard lock(m_Lock);
    if (m_Target == nullptr) {
        return false;
    }
    if (uyvy == nullptr || width <= 0 || height <= 0 || (width * height) % 2 != 0) {
        return true;
    }
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 2;
    m_Pending.resize(bytes);
    std::memcpy(m_Pending.data(), uyvy, bytes);
    m_PendingWidth = width;
    m_PendingHeight = height;
    if (m_PendingFresh) {
        ++m_Stats.superseded;
    }
    m_PendingFresh = true;
    m_PendingSerial = ++m_Stats.handedOver;
    if (!m_RepaintQueued) {
        // One request in the queue at a time; the GUI thread clears the mark when it runs it.
        m_RepaintQueued = true;
        QWidget* const target = m_Target;
        QMetaObject::invokeMethod(
            target,
            [this, target] {
                {
                    std::lock_guard guiLock(m_Lock);
                    m_RepaintQueued = false;
                }
                target->update();
            },
            Qt::QueuedConnection);
    }
    return true;
}

void D3DVideoRenderer::Paint(QWidget* window, QPainter* painter) {
    bool fresh = false;
    {
        std::lock_guard lock(m_Lock);
        if (window == nullptr || window != m_Target) {
            return;
        }
        if (m_DropPicture) {
            m_DropPicture = false;
            m_HasPicture = false;
        }
        if (m_PendingFresh) {
            // The capture thread's next picture goes into the buffer shown until now.
            std::swap(m_Pending, m_Showing);
            m_ShowingWidth = m_PendingWidth;
            m_ShowingHeight = m_PendingHeight;
            m_PendingFresh = false;
            ++m_Stats.shown;
            m_Stats.shownSerial = m_PendingSerial;
            fresh = true;
        }
    }
    if (fresh) {
        UyvyConverter::ToRgb32(m_Showing.data(), m_ShowingWidth, m_ShowingHeight, &m_Image);
        m_HasPicture = true;
    }
    if (!m_HasPicture) {
        return;
    }
    const QRect target =
        LetterboxRect(m_Image.width(), m_Image.height(), window->width(), window->height());
    if (target.isEmpty()) {
        return;
    }
    // Only the bars are filled: the picture covers the rest.
    const QRegion bars = QRegion(window->rect()) - QRegion(target);
    for (const QRect& bar : bars) {
        painter->fillRect(bar, Qt::black);
    }
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter->drawImage(target, m_Image);
}

D3DVideoRenderer::Stats D3DVideoRenderer::GetStats() const {
    std::lock_guard lock(m_Lock);
    return m_Stats;
}

QRect D3DVideoRenderer::LetterboxRect(int width, int height, int clientWidth, int clientHeight) {
    if (width <= 0 || height <= 0 || clientWidth <= 0 || clientHeight <= 0) {
        return {};
    }
    const double pictureAspect = static_cast<double>(width) / height;
    const double windowAspect = static_cast<double>(clientWidth) / clientHeight;
    if (windowAspect < pictureAspect) {
        // The window is relatively taller: bars above and below.
        const int scaledHeight = static_cast<int>(clientWidth / pictureAspect);
        const int top = (clientHeight - scaledHeight) / 2;
        return QRect(0, top, clientWidth, scaledHeight);
    }
    const int scaledWidth = static_cast<int>(clientHeight * pictureAspect);
    const int left = (clientWidth - scaledWidth) / 2;
    return QRect(left, 0, scaledWidth, clientHeight);
}
