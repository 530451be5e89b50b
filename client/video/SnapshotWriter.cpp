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
    const bool grey = GreyPicture(request);
    if (!grey) {
        m_Rgb.resize(pixels * 3);
        UyvyToRgb24(request.frame.data(), m_Rgb.data(), width, height);
        DrawTimeOnFrame(m_Rgb.data(), width, height, request.timeOfDay);
    }
    const auto text = FrameFactsText(request.facts);
    if (!(grey ? m_PngWriter.EncodeGrey(m_Grey.data(), width, height, text, &m_Png)
               : m_PngWriter.Encode(m_Rgb.data(), width, height, text, &m_Png))) {
        return false;
    }
    result->path = WriteNewFile(request.path, request.durable);
    if (result->path.empty()) {
        return false;
    }
    if (!request.thumbnailSize.isEmpty()) {
        result->thumbnail = grey ? Thumbnail(m_Grey.data(), 1, width, height, request.thumbnailSize)
                                 : Thumbnail(m_Rgb.data(), 3, width, height, request.thumbnailSize);
    }
    return true;
}

bool SnapshotWriter::GreyPicture(const SnapshotRequest& request) {
    const int width = request.width;
    const int height = request.height;
    if (width % 2 != 0) {
        return false;
    }
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    const unsigned char* uyvy = request.frame.data();
    m_Grey.resize(pixels);
    unsigned chroma = 0;
    for (size_t i = 0; i < pixels; i += 2) {
        const unsigned char* group = uyvy + 2 * i;  // U, Y0, V, Y1
        chroma |= static_cast<unsigned>((group[0] ^ 128) | (group[2] ^ 128));
        m_Grey[i] = group[1];
        m_Grey[i + 1] = group[3];
    }
    if (chroma != 0) {
        return false;
    }
    int first = 0;
    int rows = 0;
    TimeRows(height, &first, &rows);
    const size_t skipped = static_cast<size_t>(width) * static_cast<size_t>(first);
    m_Rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(rows) * 3);
    UyvyToRgb24(uyvy + 2 * skipped, m_Rgb.data(), width, rows);
    DrawTimeOnRows(m_Rgb.data(), width, height, request.timeOfDay);
    return Media::PngWriter::PackGrey(m_Rgb.data(), static_cast<size_t>(width) * rows,
                                      m_Grey.data() + skipped);
}

std::string SnapshotWriter::WriteNewFile(const std::string& path, bool durable) const {
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
    // The data before the name: a rename the journal commits first would name an empty file.
    written = written && (!durable || ::fdatasync(fd) == 0);
    written = ::close(fd) == 0 && written;
    const std::string placed = written ? RenameToFreeName(temporary, path) : std::string();
    if (placed.empty()) {
        ::unlink(temporary.c_str());  // half a picture is no snapshot
        return placed;
    }
    if (durable) {
        // The name before whatever names it. (Should the folder's sync fail, the file is still
        // complete under its name, and it is reported as written.)
        const int directory =
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            (void)::fsync(directory);
            ::close(directory);
        }
    }
    return placed;
}

QImage SnapshotWriter::Thumbnail(const unsigned char* samples, int channels, int width, int height,
                                 QSize size) {
    // Nearest pixels, where Qt's fast scaling takes them, but not through QImage::scaled: that
    // hands even a thumbnail to Qt's thread pool, whose threads, started anew for each alarm
    // episode, left the process's resident memory growing.
    QImage thumbnail(size, QImage::Format_RGB32);
    const double stepX = RasterSourceStep(size.width(), width);
    const double stepY = RasterSourceStep(size.height(), height);
    const auto rowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
    for (int y = 0; y < size.height(); ++y) {
        const auto sourceY = static_cast<int>(
            std::clamp<int64_t>(RasterSourcePosition(y, stepY) >> 16, 0, height - 1));
        const unsigned char* row = samples + rowBytes * static_cast<size_t>(sourceY);
        auto* out = reinterpret_cast<QRgb*>(thumbnail.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const auto sourceX = static_cast<int>(
                std::clamp<int64_t>(RasterSourcePosition(x, stepX) >> 16, 0, width - 1));
            const unsigned char* pixel = row + static_cast<size_t>(sourceX) * channels;
            out[x] = qRgb(pixel[0], pixel[channels / 2], pixel[channels - 1]);
        }
    }
    return thumbnail;
}
