#pragma once
// Where the post port hands a whole post: the port reads posts, the intake
// decides what becomes of them.

#include <QByteArray>
#include <QString>

// Called on the main thread.
class PostIntake
{
public:
    virtual ~PostIntake() = default;
    // The whole request of a sender that has ended its sending.
    virtual void take(const QString &peer, const QByteArray &request) = 0;
};
