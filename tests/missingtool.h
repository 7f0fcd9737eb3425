#pragma once
// A test that needs something this machine may lack (PostgreSQL, HAProxy, an
// X display) skips without it, unless TAVERNLY_REQUIRE_ALL=1 says every test
// must run (as in CI): then the missing piece fails the test.

#include <QTest>

inline bool tavernlyRequireAll()
{
    return qEnvironmentVariableIntValue("TAVERNLY_REQUIRE_ALL") == 1;
}

#define SKIP_FOR_MISSING(what)                                                         \
    do {                                                                               \
        if (tavernlyRequireAll())                                                      \
            QFAIL(what " (every test must run: TAVERNLY_REQUIRE_ALL=1)");              \
        QSKIP(what);                                                                   \
    } while (false)
