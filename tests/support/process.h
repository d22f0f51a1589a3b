// Running the real binaries from the tests: one-shot runs with captured output, and
// background processes such as metersim.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> environment; // KEY=VALUE added to (or replacing in) ours
    std::string input;                    // written to standard input, which then closes
    int timeout_ms = 60000;
    bool new_session = false;         // detached from our controlling terminal
    std::string controlling_terminal; // with new_session: this terminal becomes its own
    int stdin_fd = -1;                // given descriptor as standard input instead of `input`
    std::string stderr_path;          // standard error to this file instead of a pipe
    std::string stdout_path;          // standard output likewise
    std::string working_dir;          // started there instead of here
};

struct ProcessResult {
    int exit_status = -1; // -1 when killed by a signal or by the time-out
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0.0;
};

ProcessResult run_process(const Launch& launch);

// A process left running while a test works; ended (by its id) when the record goes.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const Launch& launch);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // One line of standard output without its line feed; empty on time-out or end.
    std::string read_line(int timeout_ms = 10000);
    // Everything read from standard output until the process ends or the time-out.
    std::string read_rest(int timeout_ms);
    // Waits for the end; returns the exit status, -1 for a signal or time-out.
    int wait(int timeout_ms);
    void stop();
    pid_t pid() const { return pid_; }
    bool running();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    int status_ = -1;
    bool reaped_ = false;
};

// The processes (ids) that have the file open.
std::vector<pid_t> processes_holding(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::string make_temp_dir(const std::string& stem);
void remove_tree(const std::string& path);
double seconds_since(double start);
double monotonic_seconds();
// Bytes made visible: printable ASCII as is, everything else as \xHH.
std::string visible(const std::string& bytes);

// A FIFO at `path` whose reading end the test holds and never reads, two pages deep: a writer
// fills it within a few dozen rows. Gives the reading end (-1 when it cannot be made).
int open_stalled_pipe(const std::string& path);
// Whether the writer into such a pipe blocked within the time: the pipe holds over a page,
// unchanged for 300 ms.
bool writer_blocked(int reader, int timeout_ms = 20000);
