#pragma once
// Recognising the create reply while it arrives.

#include <QByteArray>

enum class CreateReply {
    Exists,       // exactly "EXISTS"
    Created,      // exactly "CREATED"
    Limited,      // exactly "LIMITED": the server takes no more new forums from us for now
    Incomplete,   // a proper beginning of one of the three: wait for more
    Unrecognised, // can no longer become any
};

CreateReply classifyCreateReply(const QByteArray &gathered);
