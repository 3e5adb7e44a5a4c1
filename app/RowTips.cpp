#include "app/RowTips.h"

#include "net/http/NetURI.h"

#include <QCoreApplication>

#include <algorithm>

QString NameTipText(const QString& AName, const TServiceMonitor& AMonitor)
{
    if (const auto* Ping = dynamic_cast<const TPingMonitor*>(&AMonitor))
        return AName + QLatin1Char('\n')
            + QCoreApplication::translate("TfmMain", "Ping-монитор: %1")
                  .arg(QString::fromStdString(Ping->IP()));
    if (const auto* Web = dynamic_cast<const TWebMonitor*>(&AMonitor))
        return AName + QLatin1Char('\n')
            + QCoreApplication::translate("TfmMain", "Веб-монитор: %1")
                  .arg(QString::fromStdString(MaskURL(Web->URL())));
    if (const auto* Tcp = dynamic_cast<const TTcpMonitor*>(&AMonitor))
        return AName + QLatin1Char('\n')
            + QCoreApplication::translate("TfmMain", "TCP-монитор: %1")
                  .arg(QString::fromStdString(Tcp->Target()));
    if (const auto* Dns = dynamic_cast<const TDnsMonitor*>(&AMonitor))
        return AName + QLatin1Char('\n')
            + QCoreApplication::translate("TfmMain", "DNS-монитор: %1")
                  .arg(QString::fromStdString(Dns->Target()));
    return AName;
}

QString CertificateTipText(const TCertificateExpiry& AExpiry, int64_t ANow)
{
    if (AExpiry.Earliest == 0)
        return {};
    const std::string Date = UtcDateText(AExpiry.Earliest);
    const int64_t Days = CertificateDaysLeft(AExpiry.Earliest, ANow);
    const bool Chain = AExpiry.Earliest < AExpiry.Leaf;
    const bool Expired = AExpiry.Earliest < ANow;
    const int Count = static_cast<int>(std::clamp<int64_t>(Expired ? -Days : Days, 0, INT32_MAX));
    const char* Text = Expired
        ? (Chain ? QT_TRANSLATE_N_NOOP("TfmMain", "Сертификат цепочки истёк %n дн. назад, %1.")
                 : QT_TRANSLATE_N_NOOP("TfmMain", "Сертификат истёк %n дн. назад, %1."))
        : (Chain ? QT_TRANSLATE_N_NOOP("TfmMain", "Сертификат цепочки истекает через %n дн., %1.")
                 : QT_TRANSLATE_N_NOOP("TfmMain", "Сертификат истекает через %n дн., %1."));
    return QCoreApplication::translate("TfmMain", Text, nullptr, Count).arg(QString::fromStdString(Date));
}
