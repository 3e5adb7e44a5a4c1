// The application object: the title, and the default error report that every exception
// escaping an event handler ends up in.
#pragma once

#include <QApplication>
#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <string>

// The message of the error report: the text with a full stop added when its last
// character sorts after ".".
QString ErrorReportText(const std::string& AMessage);

class TApplication : public QApplication {
public:
    // Installs the translations of the user's interface language (InstallTranslations).
    // Errors raised by the tray icon's handlers go to the error report while this object lives.
    TApplication(int& AArgc, char** AArgv);
    ~TApplication() override;

    // Exceptions escaping any event handler go to the error report; the program goes on.
    bool notify(QObject* AReceiver, QEvent* AEvent) override;

    // The program's name as the user knows it, "Vardex", whatever the executable is called.
    static QString Title();

    // Reports the exception being handled (call from a catch block).
    static void HandleException();
    // Shows the error report for AMessage: a message box with an error icon and one OK
    // button, the title as caption. A report whose text is already on screen is not opened
    // a second time, so an error that repeats every second cannot pile up boxes.
    static void ShowErrorReport(const std::string& AMessage);
    // The same for a warning: a warning icon, the text as it is.
    static void ShowWarning(const std::string& AMessage);

    // Replaces the message boxes (tests): called with the caption and the message instead.
    static void SetErrorReportHook(std::function<void(const QString& ACaption, const QString& AText)> AHook);

private:
    // AIcon: a QMessageBox::Icon.
    static void ShowMessage(int AIcon, const QString& AText);
};

// The application's own events for the window that handles them. The application is
// minimised when its main window is; OnMinimize runs once the event that minimised the
// window has been handled, and only if the window is still minimised and visible then, so
// that a handler which hides the window is not undone by the rest of that event (showing a
// window minimised makes it visible after the state change).
class TApplicationEvents : public QObject {
public:
    explicit TApplicationEvents(QWidget* AMainWindow);

    std::function<void()> OnMinimize;

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    QWidget* FMainWindow;
};

// Runs AHandler; what escapes it goes to the error report.
template <class THandler> void Guarded(THandler&& AHandler)
{
    try {
        AHandler();
    } catch (...) {
        TApplication::HandleException();
    }
}
