// A window's parts found by their form names (their object names), as Qt's own test tools
// find them, so tests need no public members to reach a widget.
#pragma once

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdlib>

// The child of AOwner named AName; stops the test program when there is none, since every
// step after would fail on a null pointer.
template <class T> T* Part(const QObject& AOwner, const char* AName)
{
    T* Found = AOwner.findChild<T*>(QString::fromLatin1(AName));
    if (!Found)
        qFatal("%s has no %s", AOwner.metaObject()->className(), AName);
    return Found;
}

// The timer named AName fires once now, as when its interval has passed.
inline void Fire(const QObject& AOwner, const char* AName)
{
    QMetaObject::invokeMethod(Part<QTimer>(AOwner, AName), "timeout", Qt::DirectConnection);
}
