// Collects the Qt log messages (qDebug, qWarning, ...) written while it lives, from any thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <mutex>

namespace CalorviewTest {

class CapturedMessages {
public:
    CapturedMessages() : m_previous(qInstallMessageHandler(&collect)) { current() = this; }
    ~CapturedMessages() {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    CapturedMessages(const CapturedMessages&) = delete;
    CapturedMessages& operator=(const CapturedMessages&) = delete;

    // How many messages contain `text`.
    int count(const QString& text) const {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(m_messages.filter(text).size());
    }

private:
    static CapturedMessages*& current() {
        static CapturedMessages* instance = nullptr;
        return instance;
    }
    static void collect(QtMsgType, const QMessageLogContext&, const QString& message) {
        CapturedMessages* self = current();
        if (self != nullptr) {
            std::lock_guard lock(self->m_mutex);
            self->m_messages.append(message);
        }
    }

    QtMessageHandler m_previous;
    mutable std::mutex m_mutex;
    QStringList m_messages;
};

}  // namespace CalorviewTest
