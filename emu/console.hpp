// The console behind descriptor 1: keeps every write raw and in order, and
// shows it on the host if asked to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelkos {

enum class ConsoleMode {
    Quiet,  // record only (the test harness)
    Raw,    // pass every byte to the host unchanged
    Ansi,   // render attribute records as terminal colours
};

class Console {
public:
    explicit Console(ConsoleMode mode = ConsoleMode::Quiet, int host_fd = 1) : mode_(mode), host_fd_(host_fd) {}

    void write(const std::string &bytes);
    // Ends the rendering cleanly: a record cut off at exit is dropped and
    // the host terminal's colours are reset.
    void finish();

    const std::vector<std::string> &writes() const { return writes_; }
    // Forgets the recorded writes, for a long-lived process that is checked
    // piece by piece (a fuzz target).
    void clear_writes() { writes_.clear(); }
    std::string text() const;

    // An attribute record: 0xFF, then foreground, background and attribute
    // bytes. Returns the terminal escape sequence it stands for.
    static std::string ansi_for(uint8_t fg, uint8_t bg, uint8_t attr);

private:
    void emit(const std::string &s);
    ConsoleMode mode_;
    int host_fd_;
    std::vector<std::string> writes_;
    std::string pending_;   // an attribute record still being received
    bool coloured_ = false;
};

} // namespace zelkos
