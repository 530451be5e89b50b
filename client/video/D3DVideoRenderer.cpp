#include "video/D3DVideoRenderer.h"

#include <QMetaObject>
#include <QPaintEngine>
#include <QPainter>
#include <QRegion>
#include <QWidget>
#include <cstring>
#include <utility>

#include "video/Letterbox.h"

namespace {
// The code the "CreateDevice FALSE" line has always carried for a missing window; kept so that
// the line reads the same in every log.
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
    if (uyvy == nullptr || width <= 0 || height <= 0 || width % 2 != 0) {
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
                QRect picture;  // empty: the whole window
                {
                    std::lock_guard guiLock(m_Lock);
                    m_RepaintQueued = false;
                    // A picture of the size shown leaves the bars as they are.
                    if (m_HasPicture && !m_DropPicture && m_PendingWidth == m_ShowingWidth &&
                        m_PendingHeight == m_ShowingHeight) {
                        picture =
                            LetterboxRect(QSize(m_PendingWidth, m_PendingHeight), target->size());
                    }
                }
                if (picture.isEmpty()) {
                    target->update();
                } else {
                    target->update(picture);
                }
            },
            Qt::QueuedConnection);
    }
    return true;
}

bool D3DVideoRenderer::Paint(QWidget* window, QPainter* painter, const QRegion& exposed) {
    bool fresh = false;
    {
        std::lock_guard lock(m_Lock);
        if (window == nullptr || window != m_Target) {
            return false;
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
        m_HasPicture = true;
        m_Converted = false;
    }
    if (!m_HasPicture) {
        return false;
    }
    const QRect target = LetterboxRect(QSize(m_ShowingWidth, m_ShowingHeight), window->size());
    if (target.isEmpty()) {
        return false;
    }
    // Only the bars are filled: the picture covers the rest.
    const QRegion bars = QRegion(window->rect()) - QRegion(target);
    for (const QRect& bar : bars) {
        painter->fillRect(bar, Qt::black);
    }
    if (PaintInPlace(painter, target, exposed & target)) {
        return true;
    }
    // Converted and scaled in one pass, then drawn as it is; a resized window scales again.
    if (!m_Converted || m_Image.size() != target.size()) {
        m_Converter.ToRgb32(m_Showing.data(), m_ShowingWidth, m_ShowingHeight, target.size(),
                            &m_Image);
        m_Converted = true;
    }
    painter->drawImage(target.topLeft(), m_Image);
    return true;
}

bool D3DVideoRenderer::PaintInPlace(QPainter* painter, const QRect& target,
                                    const QRegion& exposed) {
    QPaintEngine* const engine = painter->paintEngine();
    if (engine == nullptr || engine->type() != QPaintEngine::Raster || painter->hasClipping() ||
        painter->opacity() < 1.0 ||
        painter->compositionMode() != QPainter::CompositionMode_SourceOver) {
        return false;
    }
    QPaintDevice* const device = engine->paintDevice();
    if (device == nullptr || device->devType() != QInternal::Image) {
        return false;
    }
    const auto* const pixels = static_cast<const QImage*>(device);
    const QImage::Format format = pixels->format();
    if ((format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
         format != QImage::Format_ARGB32_Premultiplied) ||
        pixels->devicePixelRatio() != 1.0) {
        return false;
    }
    const QTransform transform = painter->deviceTransform();
    const QPoint shift(static_cast<int>(transform.dx()), static_cast<int>(transform.dy()));
    if (transform.type() > QTransform::TxTranslate || shift.x() != transform.dx() ||
        shift.y() != transform.dy()) {
        return false;
    }
    for (const QRect& rect : exposed) {
        const QRect onDevice = rect.translated(shift) & pixels->rect();
        if (onDevice.isEmpty()) {
            continue;
        }
        // The engine paints into these very bytes (it detached the image when it began), so
        // they are written through the const view: a non-const one could detach a copy.
        auto* const out = const_cast<unsigned char*>(pixels->constScanLine(onDevice.top())) +
                          static_cast<qsizetype>(onDevice.left()) * 4;
        m_Converter.ToRgb32(m_Showing.data(), m_ShowingWidth, m_ShowingHeight, target.size(),
                            onDevice.translated(-shift - target.topLeft()), out,
                            pixels->bytesPerLine());
    }
    return true;
}

D3DVideoRenderer::Stats D3DVideoRenderer::GetStats() const {
    std::lock_guard lock(m_Lock);
    return m_Stats;
}
