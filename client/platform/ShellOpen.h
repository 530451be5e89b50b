#pragma once

#include <QString>
#include <functional>

class QUrl;

// Opens the operation manual in the desktop's default PDF viewer (the about menu's "Help") and
// tells the user in an "Attention" box when that fails. GUI thread only; holds no shared
// state. The opener and the message box are replaceable so that tests need neither.
class ShellOpen {
public:
    using UrlOpener = std::function<bool(const QUrl& url)>;
    using MessagePresenter = std::function<void(const QString& caption, const QString& text)>;

    // QDesktopServices::openUrl and a modal message box without owner.
    ShellOpen();
    ShellOpen(UrlOpener opener, MessagePresenter presenter);

    // Path of the (possibly localised) manual in `appDir`; empty means the application directory.
    static QString ManualPath(const QString& appDir = QString());

    // Returns true when the manual was handed to a viewer; otherwise the user has been told why.
    bool OpenManual(const QString& appDir = QString()) const;

private:
    UrlOpener m_Opener;
    MessagePresenter m_Presenter;
};
