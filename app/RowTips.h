// The tooltips of a row of the monitor list, in the window's language: the name cell's, with
// the whole name and what the monitor checks, and the line on a server's certificate.
#pragma once

#include "monitors/Monitors.h"

#include <QString>
#include <QUrl>

#include <cstdint>
#include <string>

// The name as the list holds it (a long one is cut there), then the host a ping monitor pings
// or the URL a web monitor fetches, its secrets masked as vardex-check masks them.
QString NameTipText(const QString& AName, const TServiceMonitor& AMonitor);

// When the earliest certificate of AExpiry expires (or expired), as of ANow (Unix seconds):
// the line CertificateExpiryText gives, in the window's language. Empty when AExpiry holds
// nothing.
QString CertificateTipText(const TCertificateExpiry& AExpiry, int64_t ANow);

// Where a browser finds what AMonitor checks: its URL without the password (the browser asks
// for one), for a monitor whose target is an http or https address; empty for others.
QUrl BrowserUrl(const TServiceMonitor& AMonitor);
