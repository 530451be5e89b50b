#include "upgrade/SimulatedCamera.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

int SimulatedCamera::writeData(const unsigned char* buffer, int length, int timeoutMs,
                               unsigned char channel) {
    if (buffer == nullptr || length <= 0 || m_unplugged) {
        return -1;
    }
    std::optional<Reply> reply = receive(channel, timeoutMs, {buffer, buffer + length});
    if (!reply) {
        return -1;
    }
    m_unplugged = reply->unplug;
    m_replies.push_back(Queued{channel, std::move(*reply)});
    return length;
}

int SimulatedCamera::readData(unsigned char* buffer, int maxLength, int timeoutMs,
                              unsigned char channel) {
    m_reads.push_back(Read{channel, maxLength, timeoutMs, -1});
    int& result = m_reads.back().result;
    // Each channel has its own endpoints, so its replies queue apart from the other's.
    const auto it = std::find_if(m_replies.begin(), m_replies.end(),
                                 [channel](const Queued& q) { return q.channel == channel; });
    if (buffer == nullptr || maxLength <= 0 || m_unplugged || it == m_replies.end()) {
        return result;
    }
    Reply& reply = it->reply;
    if (!reply.bytes || reply.delayMs >= std::max(timeoutMs, 1)) {
        // No answer, or one that comes after the time-out: the caller gives up on it.
        m_replies.erase(it);
        return result;
    }
    if (reply.delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
        reply.delayMs = 0;
    }
    std::vector<uint8_t>& bytes = *reply.bytes;
    size_t n = std::min(bytes.size(), static_cast<size_t>(maxLength));
    if (reply.firstReadLimit > 0) {
        n = std::min(n, reply.firstReadLimit);
        reply.firstReadLimit = 0;
    }
    std::copy_n(bytes.begin(), n, buffer);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(n));
    if (bytes.empty()) {
        m_replies.erase(it);
    }
    result = static_cast<int>(n);
    return result;
}

uint16_t SimulatedCamera::maxPacketSize(int endpoint) {
    return endpoint == 1 ? options().packetSize1 : endpoint == 2 ? options().packetSize2 : 0;
}

int SimulatedCamera::isBootMode() {
    return inBootMode() ? 1 : 0;
}

int SimulatedCamera::loadBootProgrammer(const char* pathUtf8) {
    return CameraModel::loadBootProgrammer(pathUtf8 != nullptr ? pathUtf8 : "") ? 1 : 0;
}
