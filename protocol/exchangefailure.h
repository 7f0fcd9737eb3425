#pragma once
// How an exchange with the forum server can fail. The window treats every kind
// alike (one connection-error box); the kinds tell tests and logs apart.

enum class ExchangeFailure {
    ConnectionError, // refused, unreachable, reset, or any other socket error
    ClosedEarly,     // the server closed the connection before a reply we know
    Unrecognised,    // the reply can no longer become one we know
    TimedOut,        // neither an ending nor a failure within the exchange's limit
    Oversized,       // the reply grew beyond anything the server could mean
};
