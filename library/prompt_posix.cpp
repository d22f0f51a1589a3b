// The port prompt of the Linux library, on the controlling terminal: the title, the message,
// and a one-line field that starts with the default text. Typing appends, Backspace deletes,
// Enter confirms, Escape cancels. Without a controlling terminal there is nobody to ask.
#if defined(_WIN32)
#error "prompt_posix.cpp is for POSIX builds; Windows builds take prompt_win32.cpp"
#endif

#include "library_state.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char ESCAPE = 0x1B;
constexpr char DELETE = 0x7F;
constexpr char BACKSPACE = 0x08;
// A lone Escape is the key; one followed at once by more bytes starts a cursor or function
// key's sequence, which the field ignores.
constexpr int KEY_SEQUENCE_GAP_MS = 30;

// What a signal that ends the host during the prompt must put back: the terminal as it was,
// and the host's own handling of the signal.
struct PromptTerminal {
    int terminal = -1;
    termios before{};
    struct sigaction previous[3]{};
};
PromptTerminal prompt_terminal;
constexpr int ENDING_SIGNALS[3] = {SIGINT, SIGTERM, SIGQUIT};
volatile std::sig_atomic_t interrupted = 0;

// Puts the terminal back, then lets the signal take its course under the host's handling; if
// the host survives it, the prompt ends as cancelled.
void on_ending_signal(int signal)
{
    tcsetattr(prompt_terminal.terminal, TCSAFLUSH, &prompt_terminal.before);
    interrupted = 1;
    for (int i = 0; i < 3; ++i) {
        if (ENDING_SIGNALS[i] == signal) {
            sigaction(signal, &prompt_terminal.previous[i], nullptr);
        }
    }
    raise(signal);
}

void watch_ending_signals(int terminal, const termios& before)
{
    prompt_terminal.terminal = terminal;
    prompt_terminal.before = before;
    interrupted = 0;
    struct sigaction ours {};
    ours.sa_handler = on_ending_signal;
    sigemptyset(&ours.sa_mask);
    // No SA_RESTART: a key read must return so that a surviving host sees the cancel.
    for (int i = 0; i < 3; ++i) {
        sigaction(ENDING_SIGNALS[i], &ours, &prompt_terminal.previous[i]);
    }
}

void stop_watching_ending_signals()
{
    for (int i = 0; i < 3; ++i) {
        sigaction(ENDING_SIGNALS[i], &prompt_terminal.previous[i], nullptr);
    }
}

// The library's texts are Windows-1252 (Latin-1 here); terminals speak UTF-8.
std::string for_terminal(const std::string& latin1)
{
    std::string utf8;
    for (const char c : latin1) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

void show(int terminal, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(terminal, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        written += static_cast<std::size_t>(count);
    }
}

bool read_key(int terminal, char& key)
{
    for (;;) {
        const ssize_t count = read(terminal, &key, 1);
        if (count == 1) {
            return true;
        }
        if (count < 0 && errno == EINTR && interrupted == 0) {
            continue;
        }
        return false;
    }
}

bool more_bytes_follow(int terminal)
{
    pollfd watch{terminal, POLLIN, 0};
    return poll(&watch, 1, KEY_SEQUENCE_GAP_MS) > 0;
}

// The rest of an escape sequence: "[" parameters and a final byte (0x40 to 0x7E), "O" and
// one byte, or a single byte.
void skip_key_sequence(int terminal)
{
    char byte = 0;
    if (!read_key(terminal, byte)) {
        return;
    }
    if (byte == 'O') {
        read_key(terminal, byte);
    } else if (byte == '[') {
        while (read_key(terminal, byte) && (byte < 0x40 || byte > 0x7E)) {
        }
    }
}

void erase_last_character(int terminal, std::string& field)
{
    if (field.empty()) {
        return;
    }
    // A character typed in UTF-8 may take several bytes; remove them all.
    while (field.size() > 1 && (static_cast<unsigned char>(field.back()) & 0xC0) == 0x80) {
        field.pop_back();
    }
    field.pop_back();
    show(terminal, "\b \b");
}

// Reads keys until Enter (true) or Escape / the end of input (false).
bool edit_field(int terminal, std::string& field)
{
    char key = 0;
    while (read_key(terminal, key)) {
        if (key == '\r' || key == '\n') {
            return true;
        }
        if (key == ESCAPE) {
            if (!more_bytes_follow(terminal)) {
                return false;
            }
            skip_key_sequence(terminal);
        } else if (key == DELETE || key == BACKSPACE) {
            erase_last_character(terminal, field);
        } else if (static_cast<unsigned char>(key) >= 0x20) {
            field += key;
            show(terminal, std::string(1, key));
        }
    }
    return false;
}

} // namespace

std::string prompt_text(const std::string& title, const std::string& message,
                        const char* default_text)
{
    const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        return std::string();
    }
    termios before{};
    const bool is_terminal = tcgetattr(terminal, &before) == 0;
    termios keys = before;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (is_terminal) {
        watch_ending_signals(terminal, before);
        tcsetattr(terminal, TCSAFLUSH, &keys);
    }

    std::string field = default_text != nullptr ? default_text : "";
    show(terminal, "\r\n" + for_terminal(title) + "\r\n" + for_terminal(message) + "\r\n> " +
                       for_terminal(field));
    const bool confirmed = edit_field(terminal, field);
    show(terminal, "\r\n");

    if (is_terminal) {
        tcsetattr(terminal, TCSAFLUSH, &before);
        stop_watching_ending_signals();
    }
    close(terminal);
    return confirmed && interrupted == 0 ? field : std::string();
}
