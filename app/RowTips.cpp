#include "app/RowTips.h"

#include <QCoreApplication>

#include <algorithm>

QString NameTipText(const QString& AName, const TServiceMonitor& AMonitor)
{
    const char* Caption = AMonitor.Kind().Caption;
    if (!Caption)
        return AName;
    return AName + QLatin1Char('\n')
        + QCoreApplication::translate("TfmMain", Caption)
              .arg(QString::fromStdString(AMonitor.Target(tfMasked)));
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
