#pragma once
// What the composer remembers between presses, and the post captured when
// Post is clicked.

#include <QString>

#include <array>

// The toolbar tags that come in pairs: each press inserts the opening or the
// closing tag in turn.
enum class PairedTag { Bold, Underline, Italic, Link };

class ToolbarState
{
public:
    // True once the tag's opening is in the body and its closing is still due.
    bool awaitingClose(PairedTag tag) const { return m_awaitingClose[std::size_t(tag)]; }
    void setAwaitingClose(PairedTag tag, bool awaiting) { m_awaitingClose[std::size_t(tag)] = awaiting; }

private:
    std::array<bool, 4> m_awaitingClose{};
};

// A post from the click on Post until it has ended.
struct PostDraft
{
    QString forum;
    QString storedTitle; // the title as the server keeps it: bold, perhaps stamped
    QString body;
    int position = -1;   // the forum's place in the directory then (it is found again by name)
};
