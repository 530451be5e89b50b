#include "video/SnapshotWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "media/ColourConversion.h"
#include "media/TimeBurnIn.h"
#include "video/RasterSampling.h"
#include "video/UniqueFilePath.h"

bool SnapshotWriter::Write(const SnapshotRequest& request, SnapshotResult* result) {
    result->path.clear();
    result->thumbnail = QImage();
    const int width = request.width;
    const int height = request.height;
    const size_t pixels = static_cast<size_t>(std::max(width, 0)) * std::max(height, 0);
    if (pixels == 0 || request.frame.size() != pixels * 2) {
        return false;
    }
    m_Rgb.resize(pixels * 3);
    UyvyToRgb24(request.frame.data(), m_Rgb.data(), width, height);
    DrawTimeOnFrame(m_Rgb.data(), width, height, request.timeOfDay);
    if (!m_PngWriter.Encode(m_Rgb.data(), width, height, FrameFactsText(request.facts), &m_Png)) {
        return false;
    }
    result->path = WriteNewFile(request.path);
    if (result->path.empty()) {
        return false;
    }
    if (!request.thumbnailSize.isEmpty()) {
        result->thumbnail = Thumbnail(width, height, request.thumbnailSize);
    }
    return true;
}

std::string SnapshotWriter::WriteNewFile(const std::string& path) const {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = path.substr(folder.size());
    constexpr size_t kAdded = 1 + 7;  // ".NAME.XXXXXX"
    name.resize(std::min<size_t>(name.size(), NAME_MAX - kAdded));
    // Hidden and unique (mkostemp: created exclusively, never through a link). Until the rename
    // nobody sees a half-written snapshot under its real name.
    std::string temporary = folder + "." + name + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    bool written = ::fchmod(fd, 0644) == 0;  // the mode snapshots always had, not mkostemp's
    for (size_t done = 0; written && done < m_Png.size();) {
        const ssize_t n = ::write(fd, m_Png.data() + done, m_Png.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    written = ::close(fd) == 0 && written;
    const std::string placed = written ? RenameToFreeName(temporary, path) : std::string();
    if (placed.empty()) {
        ::unlink(temporary.c_str());  // half a picture is no snapshot
    }
    return placed;
}

QImage SnapshotWriter::Thumbnail(int width, int height, QSize size) const {
    // Nearest pixels, where Qt's fast scaling takes them, but not through QImage::scaled: that
    // hands even a thumbnail to Qt's thread pool, whose threads, started anew for each alarm
    // episode, left the process's resident memory growing.
    QImage thumbnail(size, QImage::Format_RGB32);
    const double stepX = RasterSourceStep(size.width(), width);
    const double stepY = RasterSourceStep(size.height(), height);
    const auto rowBytes = static_cast<size_t>(width) * 3;
    for (int y = 0; y < size.height(); ++y) {
        const auto sourceY = static_cast<int>(
            std::clamp<int64_t>(RasterSourcePosition(y, stepY) >> 16, 0, height - 1));
        const unsigned char* row = m_Rgb.data() + rowBytes * static_cast<size_t>(sourceY);
        auto* out = reinterpret_cast<QRgb*>(thumbnail.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const auto sourceX = static_cast<int>(
                std::clamp<int64_t>(RasterSourcePosition(x, stepX) >> 16, 0, width - 1));
            const unsigned char* pixel = row + static_cast<size_t>(sourceX) * 3;
            out[x] = qRgb(pixel[0], pixel[1], pixel[2]);
        }
    }
    return thumbnail;
}
