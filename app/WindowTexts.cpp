#include "app/WindowTexts.h"

#include "app/Language.h"

#include <QCoreApplication>
#include <QDate>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

namespace {

// The locale's long time format without a time-zone part. Every row shows a time and is
// repainted at each start and end of its check, so the last answer is kept (on the window's
// thread) rather than worked out with a pattern each time.
QString LongTimeFormat(const QLocale& ALocale)
{
    static QString Given;
    static QString Shortened;
    const QString Format = ALocale.timeFormat(QLocale::LongFormat);
    if (Format != Given || Shortened.isNull()) {
        static const QRegularExpression Zone(QStringLiteral("\\s*t+"));
        Given = Format;
        Shortened = QString(Format).remove(Zone).trimmed();
    }
    return Shortened;
}

} // namespace

QString DownSummaryText(const std::vector<TDownMonitor>& ADown, int AChecked, int AMaxChars)
{
    if (ADown.empty())
        return {};
    QString Text = QCoreApplication::translate("TfmMain", "в сбое %1 из %2")
                       .arg(static_cast<int>(ADown.size()))
                       .arg(AChecked);
    const QString Ellipsis = QStringLiteral("\u2026");
    for (size_t I = 0; I < ADown.size(); ++I) {
        QString Shown = ADown[I].Name;
        // A tray's tooltip ends at a "|".
        if (AMaxChars > 0)
            Shown.replace(QLatin1Char('|'), QChar(0x00A6));
        const QString Name = (I == 0 ? QStringLiteral(": ") : QStringLiteral(", ")) + Shown
            + (ADown[I].Acknowledged ? QStringLiteral(" \u2713") : QString());
        // Room for the ellipsis stays while names follow.
        const qsizetype Room = AMaxChars - (I + 1 < ADown.size() ? 2 : 0);
        if (AMaxChars > 0 && Text.size() + Name.size() > Room)
            return Text + (I == 0 ? QStringLiteral(": ") : QStringLiteral(", ")) + Ellipsis;
        Text += Name;
    }
    return Text;
}

QString WithoutControls(const QString& AText)
{
    QString Result;
    Result.reserve(AText.size());
    bool InRun = false;
    for (const QChar C : AText) {
        const bool Control = C.category() == QChar::Other_Control;
        if (!Control)
            Result += C;
        else if (!InRun)
            Result += QLatin1Char(' ');
        InRun = Control;
    }
    return Result;
}

QString BadValueTip(const TBadValue& AValue)
{
    const QString Key = QString::fromStdString(AValue.Key);
    const QString Value = QString::fromStdString(AValue.Value);
    switch (AValue.Kind) {
    case TBadValue::bvNotANumber:
        return QCoreApplication::translate("TfmMain", "%1 «%2» — не число").arg(Key, Value);
    case TBadValue::bvTooSmall:
        return QCoreApplication::translate("TfmMain", "%1 «%2» меньше %3")
            .arg(Key, Value)
            .arg(AValue.Minimum);
    case TBadValue::bvEmpty:
        return QCoreApplication::translate("TfmMain", "%1 не задан").arg(Key);
    case TBadValue::bvNotAURL:
        return QCoreApplication::translate(
            "TfmMain", "%1 «%2» — не адрес вида http://хост/ или https://хост/")
            .arg(Key, Value);
    case TBadValue::bvOutOfRange:
        return QCoreApplication::translate("TfmMain", "%1 «%2» не от %3 до %4")
            .arg(Key, Value)
            .arg(AValue.Minimum)
            .arg(AValue.Maximum);
    case TBadValue::bvNotARecord:
        return QCoreApplication::translate("TfmMain", "%1 «%2» — не A, AAAA, CNAME, MX, NS или TXT")
            .arg(Key, Value);
    case TBadValue::bvNotAnAddress:
        return QCoreApplication::translate("TfmMain", "%1 «%2» — не IP-адрес с необязательным портом")
            .arg(Key, Value);
    }
    return Key;
}

QString NotCheckedText(const TServiceMonitor& AMonitor)
{
    if (!AMonitor.BadValues().empty())
        return QCoreApplication::translate("TfmMain", "Не проверяется: %1")
            .arg(BadValueTip(AMonitor.BadValues().front()));
    if (AMonitor.Interval() <= 0)
        return QCoreApplication::translate("TfmMain", "Не проверяется: Interval равен %1")
            .arg(AMonitor.Interval());
    return {};
}

QString DateTimeText(TDateTime AValue)
{
    if (AValue == 0)
        return {};
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDate(AValue, Year, Month, Day);
    DecodeTime(AValue, Hour, Min, Sec, MSec);
    const QLocale Locale;
    QString Text = Locale.toString(QDate(Year, Month, Day), FullYearDateFormat(Locale));
    if (Hour != 0 || Min != 0 || Sec != 0 || MSec != 0)
        Text += ' ' + Locale.toString(QTime(Hour, Min, Sec), LongTimeFormat(Locale));
    return Text;
}
