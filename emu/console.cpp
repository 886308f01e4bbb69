#include "emu/console.hpp"

#include <unistd.h>

namespace zelkos {
namespace {

// Colour numbers follow the classic 16-colour text-mode palette (0 black,
// 1 blue, 2 green, 3 cyan, 4 red, 5 magenta, 6 brown, 7 light grey, and the
// bright variants 8-15); the terminal orders red and blue the other way.
constexpr int kToAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};

std::string colour(uint8_t c, int base, int bright_base)
{
    if (c == 0xFF)
        return std::to_string(base + 9);   // the terminal's default colour
    c &= 15;
    return std::to_string((c & 8 ? bright_base : base) + kToAnsi[c & 7]);
}

} // namespace

std::string Console::ansi_for(uint8_t fg, uint8_t bg, uint8_t attr)
{
    std::string s = "\x1b[0;" + colour(fg, 30, 90) + ";" + colour(bg, 40, 100);
    if (attr & 1) s += ";1";   // bold
    if (attr & 2) s += ";4";   // underline
    if (attr & 4) s += ";7";   // reverse
    if (attr & 8) s += ";5";   // blink
    return s + "m";
}

void Console::write(const std::string &bytes)
{
    writes_.push_back(bytes);
    if (mode_ == ConsoleMode::Quiet)
        return;
    if (mode_ == ConsoleMode::Raw) {
        emit(bytes);
        return;
    }
    // A record may in principle be split across writes: keep state.
    std::string out;
    for (char ch : bytes) {
        if (!pending_.empty() || uint8_t(ch) == 0xFF) {
            pending_ += ch;
            if (pending_.size() == 4) {
                out += ansi_for(uint8_t(pending_[1]), uint8_t(pending_[2]), uint8_t(pending_[3]));
                coloured_ = true;
                pending_.clear();
            }
            continue;
        }
        out += ch;
    }
    emit(out);
}

void Console::finish()
{
    pending_.clear();
    if (coloured_)
        emit("\x1b[0m");
    coloured_ = false;
}

void Console::emit(const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(host_fd_, s.data() + done, s.size() - done);
        if (n <= 0)
            return;  // a closed host terminal is not the guest's problem
        done += size_t(n);
    }
}

std::string Console::text() const
{
    std::string s;
    for (auto &w : writes_)
        s += w;
    return s;
}

} // namespace zelkos
