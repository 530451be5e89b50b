#include "video/VideoWindow.h"

#include <QDateTime>
#include <QFile>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

#include "media/AnnexB.h"
#include "media/StreamConverter.h"
#include "media/TimeBurnIn.h"
#include "media/X264Encoder.h"
#include "platform/TickClock.h"
#include "settings/SettingStore.h"
#include "ui/StyleSheetBackground.h"
#include "video/CameraSize.h"
#include "video/D3DVideoRenderer.h"
#include "video/DeviceConnectionManager.h"
#include "video/OSDWindow.h"
#include "video/UniqueFilePath.h"

namespace {

std::atomic<VideoWindow*> g_instance{nullptr};

// Recordings and snapshots are refused below this much free space on the target's disk.
constexpr uint64_t kMinFreeBytes = 5ull << 30;

// The time of day burnt into recorded frames and snapshots: seconds since midnight.
int SecondsOfDay(const CaptureTime& t) {
    return t.hour * 3600 + t.minute * 60 + t.second;
}

// The capture time as seconds since 1970 (the camera clock is local time, its year counted
// from 2000); 0 when invalid.
int64_t SecondsSince1970(const CaptureTime& t) {
    const QDateTime time(QDate(2000 + t.year, t.month, t.day), QTime(t.hour, t.minute, t.second));
    return time.isValid() ? time.toSecsSinceEpoch() : 0;
}

}  // namespace

VideoWindow::VideoWindow(QWidget* parent)
    : QWidget(parent), m_SnapshotWorker([this](const SnapshotResult& saved) {
          // The "Snapshot" thread; the signal is delivered queued.
          emit snapshotSaved(QFile::decodeName(saved.path.c_str()), saved.thumbnail);
      }) {
    setObjectName("VideoWindow");
    // Every paint covers the whole window, so Qt need not paint the main window and the live
    // page beneath it for each frame first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    g_instance.store(this, std::memory_order_release);
    m_OSD = new OSDWindow(this);
    m_OSD->hide();
    connect(this, &VideoWindow::notifyUpdateOSD, m_OSD, &OSDWindow::updateOSD,
            Qt::QueuedConnection);
    const EncParams params = MakeEncParams(kCameraWidth, kCameraHeight);
    m_pEncoder = X264_Enc_Open(&params);
    if (m_pEncoder != nullptr) {
        m_EncoderWidth = kCameraWidth;
        m_EncoderHeight = kCameraHeight;
    }
}

VideoWindow::~VideoWindow() {
    if (m_Recording.load(std::memory_order_acquire)) {
        StopRecord();
    }
    // Closing the camera ends frame delivery: nothing below races with OnFrame.
    DeviceConnectionManager::instance()->UnregisterFrameConsumer();
    // Every file this window closed is complete on disk before the program goes on to exit.
    SC_WaitFinished();
    X264_Enc_Close(m_pEncoder);
    D3DVideoRenderer::instance()->Release(this);
    VideoWindow* self = this;
    g_instance.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

VideoWindow* VideoWindow::instance() {
    return g_instance.load(std::memory_order_acquire);
}

void VideoWindow::StartVideo() {
    D3DVideoRenderer::instance()->Init(this);
    DeviceConnectionManager::instance()->RegisterFrameConsumer(&VideoWindow::VideoFrameConsumer,
                                                               this);
}

bool VideoWindow::IsStillRecvYUV() {
    const uint32_t elapsed = TickClock::Now() - m_LastFrameTick.load(std::memory_order_acquire);
    qDebug("IsStillRecvYUV Time : %d", static_cast<int>(elapsed));
    return elapsed <= 2000;
}

void VideoWindow::CopyFrameForSnapshot() {
    std::lock_guard lock(m_BufferMutex);
    CopyFrameLocked();
}

void VideoWindow::CopyFrameForSnapshot(char* timeOut) {
    std::lock_guard lock(m_BufferMutex);
    CopyFrameLocked();
    std::memcpy(timeOut, m_CaptureTime, std::strlen(m_CaptureTime));
}

void VideoWindow::CopyFrameLocked() {
    const std::vector<unsigned char>& latest =
        m_FrameInSnapshot ? m_AlarmSnapshot.frame : m_FrameBuffer;
    m_Snapshot.frame.assign(latest.begin(), latest.end());
    m_Snapshot.timeOfDay = SecondsOfDay(m_CaptureClock);
    m_Snapshot.facts.fileTime.assign(m_CaptureTime);
    m_Snapshot.facts.displayTime.clear();
    m_Snapshot.facts.temperatureTenths.reset();
}

void VideoWindow::CopyFrameForSnapshot(const FrameFacts& facts) {
    std::lock_guard lock(m_BufferMutex);
    // The buffers always have one size; before the first frame both are empty.
    if (!m_FrameInSnapshot) {
        // The alarm intake, on an alarm frame, on the capture thread: the frame changes
        // buffers instead of being copied (614 KB, under the lock, on nearly every frame of an
        // alarm). The frame buffer's old picture is overwritten by the next frame before
        // anything reads it (OnFrame, then WriteRecordFrame, on this thread).
        std::swap(m_FrameBuffer, m_AlarmSnapshot.frame);
        m_FrameInSnapshot = true;
    }
    m_AlarmSnapshot.timeOfDay = SecondsOfDay(m_CaptureClock);
    m_AlarmSnapshot.facts = facts;
}

void VideoWindow::SnapshotCopy(std::vector<unsigned char>* frame, int* width, int* height) const {
    std::lock_guard lock(m_BufferMutex);
    *width = m_FrameWidth;
    *height = m_FrameHeight;
    frame->assign(m_Snapshot.frame.begin(), m_Snapshot.frame.end());
}

bool VideoWindow::IsCurrentRecording(quint64 generation) const {
    return IsRecording() && generation == m_RecordGeneration;
}

void VideoWindow::EncoderSize(int* width, int* height) const {
    std::lock_guard lock(m_RecordMutex);
    *width = m_pEncoder != nullptr ? m_EncoderWidth : 0;
    *height = m_pEncoder != nullptr ? m_EncoderHeight : 0;
}

bool VideoWindow::HasRoomFor(const char* path, int* result) {
    const std::string file(path);
    const size_t slash = file.rfind('/');
    // A bare file name lies in the working folder: ask about that one.
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    uint64_t freeBytes = 0;
    if (DeviceConnectionManager::instance()->GetDiskFreeSpace(folder.c_str(), &freeBytes) &&
        freeBytes < kMinFreeBytes) {
        *result = 1;
        return false;
    }
    return true;
}

bool VideoWindow::FillSnapshotRequest(SnapshotRequest* request, const char* path,
                                      const SnapshotBuffer& buffer) const {
    {
        // One whole frame with its own time and facts, copied under the buffer lock.
        std::lock_guard lock(m_BufferMutex);
        request->width = m_FrameWidth;
        request->height = m_FrameHeight;
        request->frame.assign(buffer.frame.begin(), buffer.frame.end());
        request->timeOfDay = buffer.timeOfDay;
        request->facts = buffer.facts;
    }
    request->path = path;
    return !request->frame.empty();
}

bool VideoWindow::SaveSnapshot(const char* path, int* result) {
    return HasRoomFor(path, result) && FillSnapshotRequest(&m_SnapshotRequest, path, m_Snapshot) &&
           m_SnapshotWriter.Write(m_SnapshotRequest, &m_SnapshotResult);
}

bool VideoWindow::StartSnapshotSave(const char* path, int* result, QSize thumbnailSize) {
    if (!HasRoomFor(path, result)) {
        return false;
    }
    SnapshotRequest* request = m_SnapshotWorker.Request();
    if (request == nullptr || !FillSnapshotRequest(request, path, m_AlarmSnapshot)) {
        return false;
    }
    request->thumbnailSize = thumbnailSize;
    // The alarm log and the station events name it once it is reported.
    request->durable = true;
    m_SnapshotWorker.Submit();
    return true;
}

int VideoWindow::StartRecord(bool alarm) {
    int width;
    int height;
    char captureTime[sizeof m_CaptureTime];
    CaptureTime clock;
    {
        std::lock_guard lock(m_BufferMutex);
        width = m_FrameWidth;
        height = m_FrameHeight;
        std::memcpy(captureTime, m_CaptureTime, sizeof captureTime);
        clock = m_CaptureClock;
    }
    if (width == 0 || captureTime[0] == '\0') {
        // Without a frame there is no capture time to name the file after.
        qDebug("StartRecord: no frame has arrived yet");
        return 0;
    }
    {
        // Never hand the encoder a picture of another size: the instance must match the frames.
        std::lock_guard lock(m_RecordMutex);
        if (!FitEncoderLocked(width, height)) {
            return 0;
        }
    }
    SettingStore& settings = SettingStore::instance();
    const int recordType = settings.recordType();
    const QString folder = alarm ? settings.alarmRecordsPath() : settings.recordPath();
    uint64_t freeBytes = 0;
    if (DeviceConnectionManager::instance()->GetDiskFreeSpace(QFile::encodeName(folder).constData(),
                                                              &freeBytes) &&
        freeBytes < kMinFreeBytes) {
        m_Recording.store(false, std::memory_order_release);
        return 2;
    }
    const QDateTime startTime = QDateTime::currentDateTime();
    const QString path = UniqueFilePath(folder + "/" + QString::fromLatin1(captureTime) +
                                        (recordType == 1 ? ".pvf" : ".mp4"));
    const QByteArray localPath = QFile::encodeName(path);
    if (!SC_Init()) {
        m_Recording.store(false, std::memory_order_release);
        return 0;
    }
    void* container = nullptr;
    int64_t creationTime = SecondsSince1970(clock);
    if (creationTime == 0) {
        creationTime = startTime.toSecsSinceEpoch();
    }
    const QByteArray comment = alarm ? m_AlarmRecordingComment.toUtf8() : QByteArray();
    if (SC_OpenFileAt(recordType == 1 ? kScFormatPvf : kScFormatMp4, localPath.constData(),
                      static_cast<int>(localPath.size()), creationTime,
                      comment.isEmpty() ? nullptr : comment.constData(), &container) != 0) {
        std::printf("SC_OpenFile error\n");
        std::fflush(stdout);
        SC_Uninit();
        m_Recording.store(false, std::memory_order_release);
        return 0;
    }
    {
        std::lock_guard lock(m_RecordMutex);
        const size_t heldBytes = m_PreAlarm.Bytes();
        std::deque<Media::HeldFrame> held = m_PreAlarm.Take();
        if (alarm && !held.empty()) {
            // The live frames continue the stream these end: no key frame needed.
            qDebug("StartRecord: %zu pre-alarm frames (%zu bytes), the first from %.3f s before",
                   held.size(), heldBytes,
                   static_cast<double>(SC_MonotonicUs() - held.front().arrivalUs) / 1e6);
            SC_InputHeldFrames(container, std::move(held));
        } else {
            // The encoder may have run for the pre-alarm frames: the file starts afresh.
            X264_Enc_RequestKeyFrame(m_pEncoder);
        }
        m_pContainer = container;
        ++m_RecordGeneration;
    }
    m_RecordingTrouble.store(false, std::memory_order_relaxed);
    m_Recording.store(true, std::memory_order_release);
    m_OSD->SetRecordStartTime(static_cast<unsigned int>(startTime.toSecsSinceEpoch()));
    m_RecordingPath = path;
    return 1;
}

void VideoWindow::StopRecord() {
    // Cleared first, so the capture thread stops calling WriteRecordFrame.
    m_Recording.store(false, std::memory_order_release);
    // The pre-alarm frames go on from the next key frame with the same encoder: opening one on
    // the capture thread would cost that frame tens of milliseconds.
    const bool keepEncoder = PreAlarmSeconds() > 0;
    void* encoder = nullptr;
    void* container;
    {
        // Waits for a frame being encoded; later writes find no encoder (or, while the pre-alarm
        // frames are kept, no file) and return.
        std::lock_guard lock(m_RecordMutex);
        if (!keepEncoder) {
            encoder = m_pEncoder;
            m_pEncoder = nullptr;
        }
        container = m_pContainer;
        m_pContainer = nullptr;
    }
    X264_Enc_Close(encoder);
    if (container != nullptr) {
        // Both return at once; the writer thread completes the file.
        SC_FinishFile(container);
        SC_CloseFile(container);
        SC_Uninit();
    }
}

bool VideoWindow::WriteRecordFrame() {
    std::lock_guard lock(m_RecordMutex);
    return WriteRecordFrameLocked();
}

bool VideoWindow::WriteRecordFrameLocked() {
    // A write that saw the flag before a stop may get here while the next recording opens: its
    // encoder is there, its file not yet. Encoding now would spend the new file's key frame.
    if (m_pEncoder == nullptr || m_pContainer == nullptr) {
        return false;
    }
    // The capture thread is the only writer of the frame buffer and its size.
    const int width = m_FrameWidth;
    const int height = m_FrameHeight;
    if (width != m_EncoderWidth || height != m_EncoderHeight) {
        if (!m_RecordingTrouble.exchange(true)) {
            emit recordingSizeChanged(m_RecordGeneration);
        }
        return false;
    }
    const int n = EncodeFrameLocked(width, height);
    if (n > 0) {
        const int r = SC_InputDataAt(m_pContainer, m_EncodedBuffer.data(), n, m_FrameArrivalUs);
        if (r != 0) {
            qDebug("SC_InputData error nbRet = %d nRet=%d", r, n);
            // The frames after a lost one refer to it: the next starts afresh.
            X264_Enc_RequestKeyFrame(m_pEncoder);
            if (r == kScFailed && !m_RecordingTrouble.exchange(true)) {
                emit recordingFailed(m_RecordGeneration);
            }
            return false;
        }
    }
    return true;
}

int VideoWindow::EncodeFrameLocked(int width, int height) {
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (m_I420Buffer.size() != pixels * 3 / 2) {
        m_I420Buffer.assign(pixels * 3 / 2, 0);
        m_EncodedBuffer.assign(pixels * 2, 0);
    }
    MakeRecordedPicture(m_I420Buffer.data(), m_FrameBuffer.data(), width, height,
                        m_TimeOfDay.load(), &m_PictureScratch);
    unsigned char* const y = m_I420Buffer.data();
    const EncPicture picture{y, y + pixels, y + pixels + pixels / 4, {}};
    EncOutput output{0, m_EncodedBuffer.data(), static_cast<int32_t>(m_EncodedBuffer.size())};
    return X264_Enc_Start(m_pEncoder, &picture, &output);
}

bool VideoWindow::FitEncoderLocked(int width, int height) {
    if (m_pEncoder != nullptr && m_EncoderWidth == width && m_EncoderHeight == height) {
        return true;
    }
    X264_Enc_Close(m_pEncoder);
    m_PreAlarm.Clear();
    const EncParams params = MakeEncParams(width, height);
    m_pEncoder = X264_Enc_Open(&params);
    m_EncoderWidth = width;
    m_EncoderHeight = height;
    return m_pEncoder != nullptr;
}

int VideoWindow::PreAlarmSeconds() {
    const SettingStore& settings = SettingStore::instance();
    const int seconds = settings.preAlarmSeconds();
    return seconds > 0 && settings.alarmEnabled() && settings.alarmRecordEnabled() ? seconds : 0;
}

void VideoWindow::HoldPreAlarmFrame(int seconds) {
    if (seconds <= 0 && !m_PreAlarmHeld) {
        return;  // the common case costs no lock: StartRecord may hold it opening an encoder
    }
    std::lock_guard lock(m_RecordMutex);
    if (m_pContainer != nullptr) {
        // A recording is opening (its flag not yet set) or closing: the frame is its own.
        WriteRecordFrameLocked();
        return;
    }
    m_PreAlarmHeld = seconds > 0;
    if (seconds <= 0 || !FitEncoderLocked(m_FrameWidth, m_FrameHeight)) {
        m_PreAlarm.Clear();
        return;
    }
    m_PreAlarm.SetSpanUs(int64_t{seconds} * 1000000);
    if (m_PreAlarm.ExpireBefore(m_FrameArrivalUs)) {
        // An empty ring starts at a key frame: make this one, rather than wait up to a second.
        X264_Enc_RequestKeyFrame(m_pEncoder);
    }
    const int n = EncodeFrameLocked(m_FrameWidth, m_FrameHeight);
    if (n < 0) {
        // The frames after a failed one would refer to it.
        m_PreAlarm.Clear();
    } else if (n > 0) {
        m_PreAlarm.Push(m_EncodedBuffer.data(), static_cast<size_t>(n), m_FrameArrivalUs,
                        Media::IsKeyFrame(m_EncodedBuffer.data(), static_cast<size_t>(n)));
    }
}

void VideoWindow::PreAlarmHeld(size_t* frames, size_t* bytes, size_t* capacityBytes) const {
    std::lock_guard lock(m_RecordMutex);
    *frames = m_PreAlarm.Frames();
    *bytes = m_PreAlarm.Bytes();
    *capacityBytes = m_PreAlarm.CapacityBytes();
}

void VideoWindow::VideoFrameConsumer(const unsigned char* picture, int width, int height,
                                     void* user, int bShowRect, const char* fileTime, int year,
                                     int month, int day, int hour, int minute, int second) {
    if (user != nullptr) {
        static_cast<VideoWindow*>(user)->OnFrame(
            picture, width, height, bShowRect, fileTime,
            CaptureTime{year, month, day, hour, minute, second});
    }
}

void VideoWindow::OnFrame(const unsigned char* picture, int width, int height, int bShowRect,
                          const char* fileTime, const CaptureTime& time) {
    if (picture == nullptr || width <= 0 || height <= 0) {
        return;
    }
    m_FrameArrivalUs = SC_MonotonicUs();
    m_Arrivals.OnFrame(m_FrameArrivalUs);
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    bool resized = false;
    {
        std::lock_guard lock(m_BufferMutex);
        if (width != m_FrameWidth || height != m_FrameHeight) {
            // Fresh vectors, not resize(): the old memory is given back, not kept as capacity.
            m_FrameBuffer = std::vector<unsigned char>(pixels * 2);
            m_Snapshot.frame = std::vector<unsigned char>(pixels * 2);
            m_AlarmSnapshot.frame = std::vector<unsigned char>(pixels * 2);
            m_FrameWidth = width;
            m_FrameHeight = height;
            resized = true;
        }
        std::memcpy(m_FrameBuffer.data(), picture, pixels * 2);
        m_FrameInSnapshot = false;
        std::memset(m_CaptureTime, 0, sizeof m_CaptureTime);
        if (fileTime != nullptr) {
            std::memcpy(m_CaptureTime, fileTime, strnlen(fileTime, sizeof m_CaptureTime - 1));
        }
        m_CaptureClock = time;
    }
    if (resized) {
        m_OSD->SetPictureSize(width, height);
    }
    m_TimeOfDay.store(SecondsOfDay(time), std::memory_order_relaxed);
    m_LastFrameTick.store(TickClock::Now(), std::memory_order_release);
    if (m_Recording.load(std::memory_order_acquire)) {
        WriteRecordFrame();
    } else {
        HoldPreAlarmFrame(PreAlarmSeconds());
    }

    D3DVideoRenderer* const renderer = D3DVideoRenderer::instance();
    if (!renderer->RenderFrame(picture, width, height)) {
        // The failed frame is not drawn again; the next one goes to the new device.
        renderer->Init(this);
    }
    emit notifyUpdateOSD(bShowRect == 1, m_Recording.load(std::memory_order_acquire),
                         time.hour * 60 + time.minute);
}

void VideoWindow::SetPictureNote(const QString& note) {
    if (note != m_PictureNote) {
        m_PictureNote = note;
        update();
    }
}

void VideoWindow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    // A note needs the whole widget painted: the picture beneath it is dimmed as a whole.
    const QRegion region = m_PictureNote.isEmpty() ? event->region() : QRegion(rect());
    if (!D3DVideoRenderer::instance()->Paint(this, &painter, region)) {
        // No picture: black, as the style sheet paints it unless a skin says otherwise; never
        // the widgets beneath (see the constructor).
        painter.fillRect(rect(), Qt::black);
        paintStyleSheetBackground(this, &painter);
    }
    if (m_PictureNote.isEmpty()) {
        return;
    }
    // The last picture stays (it may be what the operator needs), dimmed so that it cannot pass
    // for a live one, with the note in a band across its middle.
    painter.fillRect(rect(), QColor(0, 0, 0, 150));
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(std::max(12, height() / 24));
    // A narrow picture (a portrait camera in a small window) gets a smaller note, never a cut one.
    const int textWidth = QFontMetrics(font).horizontalAdvance(m_PictureNote);
    const int room = width() * 9 / 10;
    if (textWidth > room && textWidth > 0) {
        font.setPixelSize(std::max(8, font.pixelSize() * room / textWidth));
    }
    painter.setFont(font);
    const int bandHeight = QFontMetrics(font).height() * 2;
    const QRect band(0, (height() - bandHeight) / 2, width(), bandHeight);
    painter.fillRect(band, QColor(0, 0, 0, 170));
    painter.setPen(QColor(255, 210, 80));
    painter.drawText(band, Qt::AlignCenter, m_PictureNote);
}

void VideoWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    m_OSD->FollowParent();
}

void VideoWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_OSD->FollowParent();
    m_OSD->UpdatePictureRect();
}

void VideoWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_OSD->hide();
}
