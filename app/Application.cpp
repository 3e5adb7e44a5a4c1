#include "app/Application.h"

#include "app/Language.h"

#include "tray/TrayShell.h"

#include <QEvent>
#include <QMessageBox>
#include <QStringList>
#include <QWidget>
#include <QWindowStateChangeEvent>

namespace {

std::function<void(const QString&, const QString&)> GErrorReportHook;
// Texts of the reports on screen now; a nested event loop can raise the same error again.
QStringList GOpenReports;

} // namespace

QString ErrorReportText(const std::string& AMessage)
{
    QString Text = QString::fromStdString(AMessage);
    if (!AMessage.empty() && static_cast<unsigned char>(AMessage.back()) > '.')
        Text += '.';
    return Text;
}

TApplication::TApplication(int& AArgc, char** AArgv)
    : QApplication(AArgc, AArgv)
{
    setApplicationName(Title());
    // Desktops find the window's entry, and with it the icon, by this name.
    setDesktopFileName(QStringLiteral("vardex"));
    InstallTranslations(*this);
    SetTrayErrorReport([](std::exception_ptr AError) {
        try {
            std::rethrow_exception(AError);
        } catch (...) {
            HandleException();
        }
    });
}

TApplication::~TApplication()
{
    SetTrayErrorReport(nullptr);
}

bool TApplication::notify(QObject* AReceiver, QEvent* AEvent)
{
    try {
        return QApplication::notify(AReceiver, AEvent);
    } catch (...) {
        HandleException();
        return false;
    }
}

QString TApplication::Title()
{
    return QStringLiteral("Vardex");
}

void TApplication::HandleException()
{
    try {
        throw;
    } catch (const std::exception& Error) {
        ShowErrorReport(Error.what());
    } catch (...) {
        ShowErrorReport("Unknown exception");
    }
}

void TApplication::ShowErrorReport(const std::string& AMessage)
{
    ShowMessage(QMessageBox::Critical, ErrorReportText(AMessage));
}

void TApplication::ShowWarning(const std::string& AMessage)
{
    ShowMessage(QMessageBox::Warning, QString::fromStdString(AMessage));
}

void TApplication::ShowMessage(int AIcon, const QString& AText)
{
    const QString& Text = AText;
    if (GOpenReports.contains(Text))
        return;
    GOpenReports.append(Text);
    struct TClose {
        QString Text;
        ~TClose() { GOpenReports.removeOne(Text); }
    } Close { Text };
    if (GErrorReportHook) {
        GErrorReportHook(Title(), Text);
        return;
    }
    QMessageBox Box(static_cast<QMessageBox::Icon>(AIcon), Title(), Text, QMessageBox::Ok);
    // Messages carry outside text (a server's, a file's); it must not be read as HTML.
    Box.setTextFormat(Qt::PlainText);
    Box.exec();
}

void TApplication::SetErrorReportHook(std::function<void(const QString&, const QString&)> AHook)
{
    GErrorReportHook = std::move(AHook);
}

TApplicationEvents::TApplicationEvents(QWidget* AMainWindow)
    : QObject(AMainWindow)
    , FMainWindow(AMainWindow)
{
    FMainWindow->installEventFilter(this);
}

bool TApplicationEvents::eventFilter(QObject* AWatched, QEvent* AEvent)
{
    if (AWatched == FMainWindow && AEvent->type() == QEvent::WindowStateChange) {
        const auto* Change = static_cast<QWindowStateChangeEvent*>(AEvent);
        if (FMainWindow->isMinimized() && !(Change->oldState() & Qt::WindowMinimized)) {
            // Queued on this object: dropped if the window goes first.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (OnMinimize && FMainWindow->isMinimized() && FMainWindow->isVisible())
                        Guarded(OnMinimize);
                },
                Qt::QueuedConnection);
        }
    }
    return QObject::eventFilter(AWatched, AEvent);
}
