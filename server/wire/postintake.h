#pragma once
// Where the post port hands a whole post: the port reads posts, the intake
// decides what becomes of them.

#include <QByteArray>
#include <QString>
#include <functional>

// Called on the main thread.
class PostIntake
{
public:
    virtual ~PostIntake() = default;
    // done(true): the post is on disk, and the sender may be told so (an
    // orderly close); done(false): it will not be stored (a reset). Called
    // exactly once, at once or later, always on the main thread.
    using Done = std::function<void(bool acknowledged)>;
    // The whole request of a sender that has ended its sending.
    virtual void take(const QString &peer, const QByteArray &request, Done done) = 0;
};
