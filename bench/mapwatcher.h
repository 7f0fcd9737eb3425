#pragma once
// Watches the X server for a top-level window being mapped: the moment a
// started program's window is on the screen, seen from outside the program.

#include <string>

struct _XDisplay;

namespace bench {

class MapWatcher
{
public:
    MapWatcher() = default;
    ~MapWatcher();
    MapWatcher(const MapWatcher &) = delete;
    MapWatcher &operator=(const MapWatcher &) = delete;

    // Connects to $DISPLAY and listens for maps of the root's children.
    bool open(std::string *error);
    // Forgets any earlier map; the next window with this title counts.
    void expect(const std::string &title);
    // Handles the X events that arrive within waitMs.
    void pump(int waitMs);
    // When (bench::nowMs()) the expected window was mapped; negative until then.
    double mappedAt() const { return m_mappedAt; }

private:
    std::string windowName(unsigned long window) const;

    _XDisplay *m_display = nullptr;
    unsigned long m_netWmName = 0;
    unsigned long m_wmName = 0;
    std::string m_title;
    double m_mappedAt = -1;
};

} // namespace bench
