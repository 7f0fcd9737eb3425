#pragma once
// Recognising the create reply while it arrives.

#include <QByteArray>

enum class CreateReply {
    Exists,       // exactly "EXISTS"
    Created,      // exactly "CREATED"
    Incomplete,   // a proper beginning of one of the two: wait for more
    Unrecognised, // can no longer become either
};

CreateReply classifyCreateReply(const QByteArray &gathered);
