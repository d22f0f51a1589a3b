// The log file of --log-file, the same on every platform: a line each message, with its time.
#include "log_platform.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace logbook {

namespace {

// Messages come from several threads (the run's, the server's, MQTT's).
struct LogFile {
    std::mutex lock;
    std::FILE* file = nullptr;
};

LogFile& log_file()
{
    static LogFile kept;
    return kept;
}

const char* level_word(Severity severity)
{
    return severity == Severity::error     ? "error"
           : severity == Severity::warning ? "warning"
                                           : "info";
}

// "2026-12-09T07:14:29Z", as the rows write their times but to the second.
std::string utc_now()
{
    const std::tm fields = calendar_fields(std::time(nullptr), true);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

} // namespace

std::string stamped(Severity severity, const std::string& message)
{
    return utc_now() + " " + level_word(severity) + ": " + message;
}

bool keep_messages_in(const std::string& path, std::string& problem)
{
    std::FILE* file = open_to_append(path);
    if (file == nullptr) {
        problem = "cannot open the log file " + path + ": " + std::strerror(errno);
        return false;
    }
    LogFile& kept = log_file();
    const std::lock_guard<std::mutex> hold(kept.lock);
    if (kept.file != nullptr) {
        std::fclose(kept.file);
    }
    kept.file = file;
    return true;
}

void keep_message(Severity severity, const std::string& message)
{
    LogFile& kept = log_file();
    const std::lock_guard<std::mutex> hold(kept.lock);
    if (kept.file == nullptr) {
        return;
    }
    const std::string line = stamped(severity, message);
    std::fputs((line.back() == '\n' ? line : line + "\n").c_str(), kept.file);
    std::fflush(kept.file);
}

} // namespace logbook
