// The reason for an error in the window: the status cell's tooltip while the monitor is in
// error, with the time the last check took; and nothing else in the row or on screen changes.
#include "WindowFixture.h"
#include "app/RowTips.h"
#include "support/ScriptedServer.h"
#include "support/TestMonitor.h"

#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>

namespace {

constexpr TDateTime Second = 1.0 / 86400;

// The line that tells how long the last check took; the test clock stands still during one.
const QString Took = QStringLiteral("Последняя проверка: 0 мс");

QString WithTook(const QString& ATip)
{
    return ATip + QLatin1Char('\n') + Took;
}

} // namespace

class TTestMainTooltip : public QObject {
    Q_OBJECT

    static QTreeWidgetItem* Row(TWindowFixture& AFixture, int AIndex)
    {
        return AFixture.List()->topLevelItem(AIndex);
    }

    // What the list shows when the pointer rests on the cell: the text the tooltip on screen
    // renders, or an empty text when none is shown.
    static QString ShownTip(TWindowFixture& AFixture, int ARow, int AColumn)
    {
        // A tooltip fades out after it is hidden; wait until the last one is gone.
        QToolTip::hideText();
        if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000))
            return QStringLiteral("(the last tooltip stayed)");
        QWidget* Viewport = AFixture.List()->viewport();
        const QPoint Point = AFixture.RowRect(ARow, AColumn).center();
        QHelpEvent Event(QEvent::ToolTip, Point, Viewport->mapToGlobal(Point));
        QApplication::sendEvent(Viewport, &Event);
        if (!QToolTip::isVisible())
            return QString();
        QTextDocument Shown;
        if (Qt::mightBeRichText(QToolTip::text()))
            Shown.setHtml(QToolTip::text());
        else
            Shown.setPlainText(QToolTip::text());
        return Shown.toPlainText();
    }

private slots:
    // A web monitor of a loopback port where nothing listens fails with the connection's
    // reason; pointed at a server that answers, it succeeds and the tooltip goes.
    void WebMonitorReasonComesAndGoes()
    {
        TWindowFixture F(nullptr);
        QVERIFY(F.ShowActive());
        auto Web = std::make_shared<TWebMonitor>();
        Web->SetInterval(1);
        Web->SetURL("http://127.0.0.1:" + std::to_string(nettest::ClosedPort()) + "/");
        F.Window->Monitors().push_back({ "Site", Web });
        F.Window->RefreshList();
        QCOMPARE(Row(F, 0)->toolTip(2), QString());

        F.Tick();
        QCOMPARE(Row(F, 0)->text(2), QStringLiteral("ERROR"));
        const QString Reason = QStringLiteral("Socket Error # 10061\nConnection refused.");
        QCOMPARE(Row(F, 0)->toolTip(2), WithTook(Reason));
        QCOMPARE(ShownTip(F, 0, 2), WithTook(Reason));
        // Only the status cell carries it; the name's says what is checked.
        QCOMPARE(Row(F, 0)->toolTip(0),
            QStringLiteral("Site\nВеб-монитор: ") + QString::fromStdString(Web->URL()));
        QCOMPARE(Row(F, 0)->toolTip(1), QString());
        // No message box: the failure is the monitor's, not the program's.
        QVERIFY(F.Reports.empty());

        nettest::THttpTestServer Server(200);
        Web->SetURL(Server.Url());
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(Row(F, 0)->text(2), QStringLiteral("OK"));
        QCOMPARE(Row(F, 0)->toolTip(2), Took);
        QCOMPARE(ShownTip(F, 0, 2), Took);
        QCOMPARE(Server.Requests(), 1);
    }

    // The tooltip follows the status, not the stored text: a reason kept from an earlier
    // failure is not shown while the next check runs, and each row has its own.
    void TooltipFollowsTheStatus()
    {
        TWindowFixture F(nullptr);
        auto A = std::make_shared<TTestMonitor>();
        auto B = std::make_shared<TTestMonitor>();
        A->SetInterval(1);
        B->SetInterval(1);
        A->Tag = "A";
        A->Result = msError;
        B->Result = msError;
        A->Reason = "Request timed out.";
        B->Reason = "first\r\nsecond\rthird";
        F.Window->Monitors().push_back({ "A", A });
        F.Window->Monitors().push_back({ "B", B });
        F.Window->RefreshList();
        F.Tick();
        QCOMPARE(Row(F, 0)->toolTip(2), WithTook(QStringLiteral("Request timed out.")));
        QCOMPARE(Row(F, 1)->toolTip(2), WithTook(QStringLiteral("first\nsecond\nthird")));

        A->Hang = true;
        A->Result = msOK;
        F.Clock += 2 * Second;
        Fire(*F.Window, "tmrCheck");
        QTRY_COMPARE_WITH_TIMEOUT(F.Probes.Running(), 1, 5000);
        QCOMPARE(Row(F, 0)->toolTip(2), QString());
        F.Probes.Release();
        F.Settle();
        QCOMPARE(Row(F, 0)->toolTip(2), Took);
        QCOMPARE(Row(F, 1)->toolTip(2), WithTook(QStringLiteral("first\nsecond\nthird")));

        // Rebuilt rows (the window shown again) keep the reason of a monitor in error.
        F.Window->RefreshList();
        QCOMPARE(Row(F, 0)->toolTip(2), Took);
        QCOMPARE(Row(F, 1)->toolTip(2), WithTook(QStringLiteral("first\nsecond\nthird")));
    }

    // After an https check the tooltip says when the certificate expires, OK or not; beside
    // a reason that says it already, only once.
    void CertificateExpiryShown()
    {
        TWindowFixture F(nullptr);
        const int64_t NotAfter = UnixNow() + 10 * 86400 + 3600;
        auto A = std::make_shared<TTestMonitor>();
        auto B = std::make_shared<TTestMonitor>();
        auto C = std::make_shared<TTestMonitor>();
        for (const auto& Monitor : { A, B, C }) {
            Monitor->SetInterval(1);
            Monitor->CertNotAfter = NotAfter;
        }
        B->Result = msError;
        B->Reason = "HTTP/1.1 500 Internal Server Error";
        C->Result = msError;
        const QString Expiry
            = QString::fromStdString(CertificateExpiryText({ NotAfter, NotAfter }, UnixNow()));
        QVERIFY(Expiry.startsWith(QStringLiteral("Certificate expires in 10 days, on ")));
        C->Reason = Expiry.toStdString() + " CertExpiryDays is 30.";
        // In the window's language, which the reason of a check is not.
        const QString Line = CertificateTipText({ NotAfter, NotAfter }, UnixNow());
        QVERIFY(Line.startsWith(QStringLiteral("Сертификат истекает через 10 дн., ")));
        F.Window->Monitors().push_back({ "A", A });
        F.Window->Monitors().push_back({ "B", B });
        F.Window->Monitors().push_back({ "C", C });
        F.Window->RefreshList();
        F.Tick();
        QCOMPARE(Row(F, 0)->text(2), QStringLiteral("OK"));
        QCOMPARE(Row(F, 0)->toolTip(2), Took + QLatin1Char('\n') + Line);
        QCOMPARE(Row(F, 1)->toolTip(2),
            WithTook(QStringLiteral("HTTP/1.1 500 Internal Server Error")) + QLatin1Char('\n') + Line);
        QCOMPARE(Row(F, 2)->toolTip(2), WithTook(QString::fromStdString(C->Reason)));
    }

    // A server's text is shown as text: markup in it draws nothing.
    void MarkupIsShownAsText()
    {
        TWindowFixture F(nullptr);
        QVERIFY(F.ShowActive());
        auto A = std::make_shared<TTestMonitor>();
        A->SetInterval(1);
        A->Result = msError;
        const std::string Markup
            = "HTTP/1.1 500 <table><tr><td bgcolor=green>ALL SERVICES OK</td></tr></table>"
              "<img src=\"file:///etc/hostname\">";
        A->Reason = Markup;
        F.Window->Monitors().push_back({ "A", A });
        F.Window->RefreshList();
        F.Tick();
        QCOMPARE(ShownTip(F, 0, 2), WithTook(QString::fromStdString(Markup)));
    }
};

QTEST_MAIN(TTestMainTooltip)
#include "TestMainTooltip.moc"
