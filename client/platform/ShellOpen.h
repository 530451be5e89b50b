#pragma once

#include <QString>
#include <functional>

class QUrl;

// Opens the operation manual in the desktop's default PDF viewer (the about menu's "Help"), or
// another file (the day's alarm log) in its default application, and tells the user in an
// "Attention" box when that fails. GUI thread only; holds no shared state. The opener, the
// viewer lookup and the message box are replaceable so that tests need none of them.
class ShellOpen {
public:
    using UrlOpener = std::function<bool(const QUrl& url)>;
    // False only when it is certain that no application opens files of `mimeType`.
    using HandlerCheck = std::function<bool(const QString& mimeType)>;
    using MessagePresenter = std::function<void(const QString& caption, const QString& text)>;

    static constexpr int kHandlerQueryTimeoutMs = 3000;

    // QDesktopServices::openUrl, HasDefaultApplication and a modal message box without owner.
    ShellOpen();
    ShellOpen(UrlOpener opener, HandlerCheck handlerCheck, MessagePresenter presenter);

    // Path of the (possibly localised) manual in `appDir`; empty means the application directory.
    static QString ManualPath(const QString& appDir = QString());

    // Asks `xdgMime` ("xdg-mime query default <type>") for the desktop's default application.
    // The opener alone cannot tell: it hands the file to xdg-open, which succeeds whether or not
    // anything handles the type. True when an application is named, and also when no answer
    // comes (no xdg-mime, a failure, no reply within `timeoutMs`): the opener decides then.
    static bool HasDefaultApplication(const QString& mimeType,
                                      const QString& xdgMime = QStringLiteral("xdg-mime"),
                                      int timeoutMs = kHandlerQueryTimeoutMs);

    // Returns true when the manual was handed to a viewer; otherwise the user has been told why.
    bool OpenManual(const QString& appDir = QString()) const;
    // The same for any file: `missing` is what the user is told when `path` is no file.
    bool OpenFile(const QString& path, const QString& missing) const;

private:
    UrlOpener m_Opener;
    HandlerCheck m_HandlerCheck;
    MessagePresenter m_Presenter;
};
